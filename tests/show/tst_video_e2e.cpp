// Videos in the real program on the X server, as phones drive them: the frames
// and the overlay on the screen, the reports (to the requester only), a picture
// in between, a hidden window, and addresses that cannot be played or never
// answer. What the reports say as a video plays is the video controller's test.

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
// The test video: 12 s of one colour (0x3060C0) with a tone, a key frame a second.
const QRgb kVideoColour = qRgb(0x30, 0x60, 0xC0);
const QRgb kPicture = qRgb(250, 120, 10);
bool near(QRgb a, QRgb b)
{
    return qAbs(qRed(a) - qRed(b)) < 40 && qAbs(qGreen(a) - qGreen(b)) < 40 &&
           qAbs(qBlue(a) - qBlue(b)) < 40;
}

// A phone that notes the reports arriving between its replies: "status playing", ...
class Phone : public jwtest::Controller
{
public:
    explicit Phone(quint16 port) : Controller(port) {}
    QStringList reports;

    bool start()
    {
        return connectToHost() && !login("phone").isEmpty() && ask("mode", {{"value", "show"}});
    }
    // True when the request's reply says ret 0.
    bool ask(const QString& type, QJsonObject fields = {})
    {
        fields.insert("type", type), fields.insert("id", "v"), fields.insert("from", "phone");
        if (!send(fields))
            return false;
        for (QJsonObject o; !(o = next(5000)).isEmpty();)
            if (o.value("type").toString() == type)
                return o.value("ret").toString() == "0";
        return false;
    }
    bool control(const QString& act) { return ask("show.video.control", {{"act", act}}); }
    // The report comes within ms (those before it are dropped).
    bool waitFor(const QString& report, int ms = 8000)
    {
        QDeadlineTimer deadline(ms);
        while (!reports.contains(report))
            if (deadline.hasExpired() || next(int(deadline.remainingTime())).isEmpty())
                return false;
        reports = reports.mid(reports.indexOf(report) + 1);
        return true;
    }

private:
    QJsonObject next(int ms)
    {
        const QJsonObject o = QJsonDocument::fromJson(nextReply(qMax(ms, 1))).object();
        if (o.value("type").toString() == "show.video.info") {
            const QString act = o.value("act").toString();
            reports << act + ' ' + o.value(act == "position" ? "time" : "value").toString();
        }
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

    // What is wrong with the time in the lower right corner of the screen, if
    // anything: it must be light glyphs held in by a dark outline (no light pixel
    // touches the video), at least 24 pixels tall, with room to the screen's edges.
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
                            near(shot.pixel(x + dx, y + dy), kVideoColour))
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
            if (!near(probe.pixel(p.x(), p.y()), kVideoColour))
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

    // The overlay over a playing and a paused video: a time one can read and the
    // play sign without a box behind it.
    void overlayReadable()
    {
        Phone phone(program->port());
        QVERIFY(phone.start());
        QVERIFY(phone.ask("show.video", {{"url", http.url("/v.mp4")}}));
        QVERIFY(phone.waitFor("status playing"));
        QString why;
        QDeadlineTimer deadline(5000);
        while (!(why = timeUnreadable()).isEmpty() && !deadline.hasExpired())
            QTest::qWait(50);
        QVERIFY2(why.isEmpty(), qPrintable(why));
        QVERIFY(phone.control("pause"));
        QVERIFY(phone.waitFor("status paused", 5000));
        QTRY_VERIFY_WITH_TIMEOUT(playSignWithoutBox(), 5000);
        QCOMPARE(timeUnreadable(), QString());
    }

    // The frames reach the screen and the reports only the phone that asked; a
    // picture in between pauses the video and is shown.
    void framesReportsAndAPicture()
    {
        Phone phone(program->port()), other(program->port());
        QVERIFY(phone.start());
        QVERIFY(other.connectToHost() && !other.login("other").isEmpty());
        QVERIFY(phone.ask("show.video", {{"url", http.url("/v.mp4")}}));
        QVERIFY(phone.waitFor("volume 50", 3000));
        QVERIFY(phone.waitFor("status playing"));
        QTRY_VERIFY_WITH_TIMEOUT(near(centre(), kVideoColour), 5000);
        QVERIFY(other.expectNoReply(300));
        QVERIFY(phone.ask("show.image", {{"url", http.url("/p.png")}}));
        QVERIFY(phone.waitFor("status paused", 5000));
        QTRY_VERIFY_WITH_TIMEOUT(centre() == kPicture, 5000);
    }

    void hiddenWindowAndUnplayableAddress()
    {
        Phone phone(program->port());
        QVERIFY(phone.connectToHost() && !phone.login("phone").isEmpty());
        QVERIFY(phone.ask("mode", {{"value", "remote"}}));
        QVERIFY(phone.ask("show.video", {{"url", http.url("/v.mp4")}}));
        QVERIFY(!phone.waitFor("volume 50", 1000)); // hidden: nothing happens
        QVERIFY(phone.ask("mode", {{"value", "show"}}));
        QVERIFY(phone.ask("show.video", {{"url", "http://127.0.0.1:1/none.mp4"}}));
        QVERIFY(phone.waitFor("volume 50"));
        QVERIFY(phone.waitFor("status stoped", 10000));
        // A source that never answers blocks nothing: a picture comes up meanwhile.
        QVERIFY(phone.ask("show.video", {{"url", http.url("/stall.mp4")}}));
        QVERIFY(phone.ask("show.image", {{"url", http.url("/p.png")}}));
        QTRY_VERIFY_WITH_TIMEOUT(centre() == kPicture, 5000);
        // The window goes on working: the next video plays.
        QVERIFY(phone.ask("show.video", {{"url", http.url("/v.mp4")}}));
        QVERIFY(phone.waitFor("status playing", 10000));
        QVERIFY(phone.ask("mode", {{"value", "remote"}}));
        QVERIFY(phone.waitFor("status paused", 5000)); // hiding pauses it
    }
};

QTEST_GUILESS_MAIN(TestVideoE2e)
#include "tst_video_e2e.moc"
