// Videos in the real program on the X server, as a phone drives them: the
// reports that come back (to the requester only), the frames on the screen, and
// pause, seek, stop, stepping, the end, a picture in between, a hidden window and
// an address that cannot be played.

#include "flatpng.h"
#include "httpserver.h"
#include "jwinstance.h"
#include "x11probe.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>
#include <functional>

namespace
{
// The test video: 12 s of one colour (0x3060C0) with a tone, a key frame a second.
const QRgb kVideoColour = qRgb(0x30, 0x60, 0xC0);
bool near(QRgb a, QRgb b)
{
    return qAbs(qRed(a) - qRed(b)) < 40 && qAbs(qGreen(a) - qGreen(b)) < 40 &&
           qAbs(qBlue(a) - qBlue(b)) < 40;
}

// A phone that keeps the reports arriving between its replies.
class Phone : public jwtest::Controller
{
public:
    using Controller::Controller;
    struct Report {
        QString act;
        qint64 value; // the time of a position, else the value as a number
        QString text;
    };
    QList<Report> reports;

    QJsonObject ask(const QString& type, QJsonObject fields = {})
    {
        fields.insert("type", type), fields.insert("id", "v"), fields.insert("from", "phone");
        if (!send(fields))
            return {};
        for (;;) {
            const QJsonObject o = next(5000);
            if (o.isEmpty() || o.value("type").toString() == type)
                return o;
        }
    }
    QJsonObject control(const QString& act, const QString& value = {})
    {
        return ask("show.video.control", {{"act", act}, {"time", value}, {"value", value}});
    }
    // The first report of `act` for which `want` holds; earlier ones are dropped.
    bool waitFor(const QString& act, const std::function<bool(qint64)>& want, int ms = 8000,
                 qint64* got = nullptr)
    {
        QDeadlineTimer deadline(ms);
        for (;;) {
            while (!reports.isEmpty()) {
                const Report r = reports.takeFirst();
                if (r.act == act && want(r.value)) {
                    if (got)
                        *got = r.value;
                    return true;
                }
            }
            if (deadline.hasExpired() || next(int(deadline.remainingTime())).isEmpty())
                return false;
        }
    }
    bool waitStatus(const QString& word, int ms)
    {
        QDeadlineTimer deadline(ms);
        while (!deadline.hasExpired()) {
            if (!waitFor(
                    "status", [](qint64) { return true; }, int(deadline.remainingTime())))
                return false;
            if (lastText == word)
                return true;
        }
        return false;
    }
    bool quiet(const QString& act, int ms)
    {
        QDeadlineTimer deadline(ms);
        while (!deadline.hasExpired())
            next(int(deadline.remainingTime()));
        for (const Report& r : reports)
            if (r.act == act)
                return false;
        reports.clear();
        return true;
    }

private:
    QString lastText;
    // The next packet; a report is kept (and returned too).
    QJsonObject next(int ms)
    {
        const QJsonObject o = QJsonDocument::fromJson(nextReply(qMax(ms, 1))).object();
        if (o.value("type").toString() == "show.video.info") {
            const QString act = o.value("act").toString();
            const QString text = o.value(act == "position" ? "time" : "value").toString();
            reports.append({act, text.toLongLong(), text});
            if (act == "status")
                lastText = text;
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
        auto light = [&shot](int x, int y) {
            const QRgb c = shot.pixel(x, y);
            return qMin(qRed(c), qMin(qGreen(c), qBlue(c))) >= 200;
        };
        QRect glyphs;
        for (int y = 0; y < shot.height(); ++y)
            for (int x = 0; x < shot.width(); ++x) {
                const QRgb c = shot.pixel(x, y);
                if (qRed(c) > 150 && qGreen(c) < 80 && qBlue(c) < 80)
                    return QString("red at %1,%2").arg(x).arg(y);
                if (!light(x, y))
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
        const QRect sign(896, 477, 128, 128); // centred on the 1922 x 1084 overlay at -1,-1
        const QRect inset = sign.adjusted(4, 4, -4, -4);
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
        http.serve("/p.png", flatPng(qRgb(250, 120, 10), 800, 600), "image/png");
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
        QVERIFY(phone.connectToHost() && !phone.login("phone").isEmpty());
        QCOMPARE(phone.ask("mode", {{"value", "show"}}).value("ret"), "0");
        QCOMPARE(phone.ask("show.video", {{"url", http.url("/v.mp4")}}).value("ret"), "0");
        QVERIFY(phone.waitStatus("playing", 8000));
        QVERIFY(phone.waitFor("position", [](qint64 p) { return p > 1000; }));
        QString why;
        QDeadlineTimer deadline(5000);
        while (!(why = timeUnreadable()).isEmpty() && !deadline.hasExpired())
            QTest::qWait(50);
        QVERIFY2(why.isEmpty(), qPrintable(why));
        phone.control("pause");
        QVERIFY(phone.waitStatus("paused", 5000));
        QTRY_VERIFY_WITH_TIMEOUT(playSignWithoutBox(), 5000);
        QCOMPARE(timeUnreadable(), QString());
    }

    void hiddenWindowAndUnplayableAddress()
    {
        Phone phone(program->port());
        QVERIFY(phone.connectToHost() && !phone.login("phone").isEmpty());
        QCOMPARE(phone.ask("show.video", {{"url", http.url("/v.mp4")}}).value("ret"), "0");
        QVERIFY(phone.quiet("volume", 1000)); // hidden: nothing happens
        QCOMPARE(phone.ask("mode", {{"value", "show"}}).value("ret"), "0");
        QCOMPARE(phone.ask("show.video", {{"url", "http://127.0.0.1:1/none.mp4"}}).value("ret"),
                 "0");
        QVERIFY(phone.waitFor("volume", [](qint64 v) { return v == 50; }));
        QVERIFY(phone.waitStatus("stoped", 10000));
        // A source that never answers blocks nothing: a picture comes up meanwhile.
        TestHttpServer::Route stall;
        stall.silent = true;
        http.setRoute("/stall.mp4", stall);
        QCOMPARE(phone.ask("show.video", {{"url", http.url("/stall.mp4")}}).value("ret"), "0");
        QCOMPARE(phone.ask("show.image", {{"url", http.url("/p.png")}}).value("ret"), "0");
        QTRY_VERIFY_WITH_TIMEOUT(centre() == qRgb(250, 120, 10), 5000);
        // The window goes on working: the next video plays.
        QVERIFY(!phone.ask("show.video", {{"url", http.url("/v.mp4")}}).isEmpty());
        QVERIFY(phone.waitStatus("playing", 10000));
        QCOMPARE(phone.ask("mode", {{"value", "remote"}}).value("ret"), "0");
        QVERIFY(phone.waitStatus("paused", 5000)); // hiding pauses it
    }

    void playPauseSeekStepStopAndEnd()
    {
        Phone phone(program->port()), other(program->port());
        QVERIFY(phone.connectToHost() && !phone.login("phone").isEmpty());
        QVERIFY(other.connectToHost() && !other.login("other").isEmpty());
        QCOMPARE(phone.ask("mode", {{"value", "show"}}).value("ret"), "0");
        QTRY_VERIFY_WITH_TIMEOUT(probe.isViewable(probe.findWindow("Tovanel-演示模式")), 5000);
        QCOMPARE(phone.ask("show.video", {{"url", http.url("/v.mp4")}}).value("ret"), "0");
        // The volume comes first, before anything the player says.
        QVERIFY(phone.waitFor(
            "volume", [](qint64 v) { return v == 50; }, 3000));
        QVERIFY(phone.reports.isEmpty() || phone.reports.first().act != "status" ||
                phone.reports.first().text != "playing");
        qint64 duration = 0, a = 0, b = 0;
        QVERIFY(phone.waitFor(
            "duration", [](qint64 d) { return d > 11500 && d < 12500; }, 8000, &duration));
        QVERIFY(phone.waitStatus("playing", 8000));
        QVERIFY(phone.waitFor(
            "position", [](qint64 p) { return p > 0; }, 5000, &a));
        QVERIFY(phone.waitFor(
            "position", [a](qint64 p) { return p > a; }, 5000, &b));
        QTRY_VERIFY_WITH_TIMEOUT(near(centre(), kVideoColour), 5000); // the frames are shown
        QVERIFY(other.expectNoReply(300));                            // only the requester hears

        phone.control("pause");
        QVERIFY(phone.waitStatus("paused", 5000));
        QVERIFY(phone.quiet("position", 800));
        phone.control("play");
        QVERIFY(phone.waitStatus("playing", 5000));
        phone.control("seek", "6000");
        QVERIFY(phone.waitFor("position", [](qint64 p) { return p >= 5500 && p < 8500; }));

        // Stepping: 1 s per tick, 2 s after a second command, back 1 s after a backward one.
        auto step = [&phone](qint64 want) {
            qint64 p1 = 0, p2 = 0;
            return phone.waitFor(
                       "position", [](qint64) { return true; }, 3000, &p1) &&
                   phone.waitFor(
                       "position", [](qint64) { return true; }, 3000, &p2) &&
                   qAbs((p2 - p1) - want) < 400;
        };
        phone.control("seek", "3000");
        phone.control("fast-forward", "1000");
        QVERIFY(phone.waitStatus("paused", 5000));
        QVERIFY(step(1000));
        phone.control("fast-forward", "1000");
        QVERIFY(step(2000));
        phone.control("fast-backward", "1000");
        QVERIFY(step(-1000));

        phone.control("stop");
        QVERIFY(phone.waitStatus("stoped", 5000));
        phone.control("play"); // opened again, from the start
        QVERIFY(phone.waitStatus("playing", 8000));
        QVERIFY(phone.waitFor("position", [](qint64 p) { return p < 3000; }));

        phone.control("seek", "11000"); // to the end: the whole duration, then "paused"
        QVERIFY(phone.waitFor(
            "position", [duration](qint64 p) { return p == duration; }, 8000));
        QVERIFY(phone.waitStatus("paused", 3000));
        phone.control("play");
        QVERIFY(phone.waitStatus("playing", 8000));
        QVERIFY(phone.waitFor("position", [](qint64 p) { return p < 3000; }));

        // A picture in between pauses the video and is shown.
        QCOMPARE(phone.ask("show.image", {{"url", http.url("/p.png")}}).value("ret"), "0");
        QVERIFY(phone.waitStatus("paused", 5000));
        QTRY_VERIFY_WITH_TIMEOUT(centre() == qRgb(250, 120, 10), 5000);
    }
};

QTEST_GUILESS_MAIN(TestVideoE2e)
#include "tst_video_e2e.moc"
