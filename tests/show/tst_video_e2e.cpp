// The real program's show window on the X server as phones drive it: a video's
// frames, overlay and reports (to the requester only), pictures in between.

#include "flatpng.h"
#include "httpserver.h"
#include "jwinstance.h"
#include "x11probe.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

namespace
{
const QRgb kVideoColour = qRgb(0x30, 0x60, 0xC0);
const QRgb kPicture = qRgb(250, 120, 10); // 800 x 600: at 560, 240 on the screen

// A phone that notes the reports arriving between its replies: "status playing", ...
class Phone : public jwtest::Controller
{
public:
    Phone(quint16 port, const QString& id) : Controller(port), id(id) {}
    const QString id;
    QStringList reports;

    bool start() { return connectToHost() && !login(id).isEmpty(); }
    bool ask(const QString& type, QJsonObject fields = {})
    {
        if (send(jwtest::packet(qPrintable(type), id, fields, "v")))
            for (QJsonObject o; !(o = next(5000)).isEmpty();)
                if (o.value("type").toString() == type)
                    return o.value("ret").toString() == "0";
        return false;
    }
    // The report comes within ms (those before it are dropped).
    bool waitFor(const QString& report, int ms = 8000)
    {
        for (QDeadlineTimer deadline(ms); !reports.contains(report);)
            if (deadline.hasExpired() || next(int(deadline.remainingTime())).isEmpty())
                return false;
        reports = reports.mid(reports.indexOf(report) + 1);
        return true;
    }

private:
    QJsonObject next(int ms)
    {
        const QJsonObject o = QJsonDocument::fromJson(nextReply(qMax(ms, 1))).object();
        const QString act = o.value("act").toString();
        if (o.value("type").toString() == "show.video.info" && !o.contains("ret") &&
            !o.contains("desc"))
            reports << act + ' ' + o.value(act == "position" ? "time" : "value").toString();
        return o;
    }
};
} // namespace

class TestVideoE2e : public QObject
{
    Q_OBJECT
    X11Probe probe;
    TestHttpServer http;
    std::unique_ptr<jwtest::JwInstance> program;
    QRgb centre() { return probe.pixel(960, 540); }
    bool shown() { return probe.isViewable(probe.findWindow("Tovanel-演示模式")); }
    // What is wrong with the time at the lower right: light glyphs in a dark outline
    // (no light pixel touches the video), 24 pixels tall, clear of the screen's edges.
    QString timeUnreadable()
    {
        const QRect area(1020, 880, 900, 200);
        const QImage shot = probe.grab(area);
        if (shot.isNull())
            return "no screenshot";
        QRect glyphs;
        for (int y = 0; y < shot.height(); ++y)
            for (int x = 0; x < shot.width(); ++x) {
                const QRgb c = shot.pixel(x, y);
                if (qRed(c) > 150 && qGreen(c) < 80 && qBlue(c) < 80)
                    return QString("red at %1,%2").arg(x).arg(y);
                if (qMin(qRed(c), qMin(qGreen(c), qBlue(c))) < 200)
                    continue;
                glyphs |= QRect(x, y, 1, 1);
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx)
                        if (shot.rect().contains(x + dx, y + dy) &&
                            similar(shot.pixel(x + dx, y + dy), kVideoColour, 39))
                            return QString("no outline at %1,%2").arg(x).arg(y);
            }
        glyphs.translate(area.topLeft());
        if (glyphs.height() < 24)
            return QString("light pixels %1 tall").arg(glyphs.height());
        if (glyphs.right() > 1915 || glyphs.bottom() > 1075)
            return QString("up to %1,%2").arg(glyphs.right()).arg(glyphs.bottom());
        return QString();
    }
    // The play sign alone, no box: the video shows at the corners of its square.
    bool playSignWithoutBox()
    {
        const QRect inset = QRect(896, 477, 128, 128).adjusted(4, 4, -4, -4); // centred
        for (QPoint p :
             {inset.topLeft(), inset.topRight(), inset.bottomLeft(), inset.bottomRight()})
            if (!similar(probe.pixel(p.x(), p.y()), kVideoColour, 39))
                return false;
        return true;
    }

private slots:
    void initTestCase()
    {
        if (!probe.isOpen())
            QSKIP("needs an X display");
        QVERIFY(probe.waitForDesktop());
        QFile video(JW_SOURCE_DIR "/tests/data/solid12s.mp4");
        QVERIFY(video.open(QIODevice::ReadOnly));
        QVERIFY(http.start());
        http.serve("/v.mp4", video.readAll(), "video/mp4");
        http.serve("/p.png", flatPng(kPicture, 800, 600), "image/png");
        TestHttpServer::Route stall;
        stall.silent = true;
        http.setRoute("/stall.mp4", stall);
        jwtest::JwInstanceOptions o = jwtest::presentingOptions();
        o.env.insert("JWSHOW_VLC_ARGS", "--aout=adummy");
        program = std::make_unique<jwtest::JwInstance>(o);
        QVERIFY2(program->start(), qPrintable(program->errorString()));
    }
    void cleanupTestCase()
    {
        if (program)
            QCOMPARE(program->stop(), 0);
    }

    // Over a playing and a paused video: a time one can read, a play sign without a box.
    void overlayReadable()
    {
        Phone phone(program->port(), "phone");
        QVERIFY(phone.start() && phone.ask("mode", {{"value", "show"}}));
        QVERIFY(phone.ask("show.video", {{"url", http.url("/v.mp4")}}));
        QVERIFY(phone.waitFor("status playing"));
        QString why;
        QTRY_VERIFY2_WITH_TIMEOUT((why = timeUnreadable()).isEmpty(), qPrintable(why), 5000);
        QVERIFY(phone.ask("show.video.control", {{"act", "pause"}}));
        QVERIFY(phone.waitFor("status paused", 5000));
        QTRY_VERIFY_WITH_TIMEOUT(playSignWithoutBox(), 5000);
        QCOMPARE(timeUnreadable(), QString());
    }

    void videoForItsPhoneOnly()
    {
        Phone phone(program->port(), "phone"), other(program->port(), "other");
        QTRY_VERIFY_WITH_TIMEOUT(!shown(), 5000); // closed when the last phone left
        QVERIFY(phone.start() && other.start());
        QVERIFY(phone.ask("show.video", {{"url", http.url("/v.mp4")}}));
        QVERIFY(!phone.waitFor("volume 50", 1000)); // hidden: nothing happens
        QVERIFY(phone.ask("mode", {{"value", "show"}}));
        QVERIFY(phone.ask("show.video", {{"url", "http://127.0.0.1:1/none.mp4"}}));
        QVERIFY(phone.waitFor("volume 50") && phone.waitFor("status stoped", 10000));
        // A source that never answers blocks no picture (put in its place).
        QVERIFY(phone.ask("show.video", {{"url", http.url("/stall.mp4")}}));
        QVERIFY(phone.ask("show.image", {{"url", http.url("/p.png")}}));
        QTRY_VERIFY_WITH_TIMEOUT(
            probe.pixel(560, 240) == kPicture && probe.pixel(559, 240) != kPicture, 5000);
        // The next video's frames on the screen, its reports to the asking phone only.
        QVERIFY(phone.ask("show.video", {{"url", http.url("/v.mp4")}}));
        QVERIFY(phone.waitFor("status playing", 10000));
        QTRY_VERIFY_WITH_TIMEOUT(similar(centre(), kVideoColour, 39), 5000);
        QVERIFY(other.expectNoReply(300));
        // A picture in between pauses it and is shown; hiding pauses it too.
        QVERIFY(phone.ask("show.image", {{"url", http.url("/p.png")}}));
        QVERIFY(phone.waitFor("status paused", 5000));
        QTRY_VERIFY_WITH_TIMEOUT(centre() == kPicture, 5000);
        QVERIFY(phone.ask("show.video.control", {{"act", "play"}}) &&
                phone.waitFor("status playing"));
        QVERIFY(phone.ask("mode", {{"value", "remote"}}));
        QVERIFY(phone.waitFor("status paused", 5000));
        QTRY_VERIFY_WITH_TIMEOUT(!shown(), 5000);
    }
};

QTEST_GUILESS_MAIN(TestVideoE2e)
#include "tst_video_e2e.moc"
