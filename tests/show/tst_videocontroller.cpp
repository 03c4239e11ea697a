// The video without a window (offscreen, no video or sound output): the reports a
// controller gets while the test video (12 s of one colour) plays, pauses, seeks,
// steps, stops and ends; what stepping adds up; that the end of a show leaves
// nothing of the video behind; and the libvlc wrapper underneath.

#include "show/videocontroller.h"
#include "show/vlc/vlcaudio.h"
#include "show/vlc/vlcinstance.h"
#include "show/vlc/vlcmedia.h"
#include "show/vlc/vlcmediaplayer.h"

#include <QtTest>
#include <functional>
#include <limits>
#include <vlc/vlc.h>

namespace
{
const QString kVideo = QUrl::fromLocalFile(JW_SOURCE_DIR "/tests/data/solid12s.mp4").toString();

// The reports, as the controller would read them: "volume 50", "status playing", ...
class Reports : public QObject
{
public:
    explicit Reports(VideoController& v)
    {
        connect(&v, &VideoController::videoReport, this, [this](const cmd::VideoReport& r) {
            static const char* const names[] = {"duration", "position", "status", "volume"};
            QCOMPARE(r.sock, SOCKET(7));
            QCOMPARE(r.to, QString("phone"));
            got << QString(names[int(r.what)]) + ' ' + r.value;
        });
    }
    QStringList got;
    // Waits for the first report of `what` whose value `want` accepts (earlier ones
    // are dropped) and gives its value, or -1.
    qint64 next(const QString& what, const std::function<bool(qint64)>& want, int ms = 8000)
    {
        QDeadlineTimer deadline(ms);
        for (;;) {
            while (!got.isEmpty()) {
                const QStringList r = got.takeFirst().split(' ');
                if (r[0] == what && want(r[1].toLongLong()))
                    return r[1].toLongLong();
            }
            if (deadline.hasExpired())
                return -1;
            QTest::qWait(10);
        }
    }
    bool status(const QString& word, int ms = 8000)
    {
        QDeadlineTimer deadline(ms);
        while (!deadline.hasExpired()) {
            if (got.contains("status " + word)) {
                got = got.mid(got.indexOf("status " + word) + 1);
                return true;
            }
            QTest::qWait(10);
        }
        return false;
    }
};
bool any(qint64)
{
    return true;
}
} // namespace

class TestVideoController : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qputenv("JWSHOW_VLC_ARGS", "--aout=adummy --no-video"); }

    void playPauseSeekStepStopAndEnd()
    {
        VideoController video;
        Reports r(video);
        video.open(kVideo, 7, "phone");
        QCOMPARE(r.got.value(0), QString("volume 50")); // before anything the player says
        const qint64 duration = r.next("duration", [](qint64 d) { return d > 11500 && d < 12500; });
        QVERIFY(r.status("playing"));
        const qint64 a = r.next("position", [](qint64 p) { return p > 0; });
        QVERIFY(r.next("position", [a](qint64 p) { return p > a; }) > 0);

        video.pause();
        QVERIFY(r.status("paused"));
        QTest::qWait(800);
        QVERIFY(!r.got.join(',').contains("position"));
        video.play();
        QVERIFY(r.status("playing"));
        video.seek(6000);
        QVERIFY(r.next("position", [](qint64 p) { return p >= 5500 && p < 8500; }) > 0);

        // 1 s a tick, 2 s after a second step forward, back 1 s after one backward.
        auto tick = [&r](qint64 want) {
            const qint64 p1 = r.next("position", any, 3000), p2 = r.next("position", any, 3000);
            return p1 > 0 && p2 > 0 && qAbs((p2 - p1) - want) < 400;
        };
        video.seek(3000);
        video.step(1000);
        QVERIFY(r.status("paused"));
        QVERIFY(tick(1000));
        video.step(1000);
        QVERIFY(tick(2000));
        video.step(-1000);
        QVERIFY(tick(-1000));

        video.stop();
        QVERIFY(r.status("stoped"));
        QVERIFY(!video.isStepping());
        video.play(); // opened again, from the start
        QVERIFY(r.status("playing"));
        QVERIFY(r.next("position", [](qint64 p) { return p < 3000; }) > 0);
        // To the end: the whole duration, then "paused" (not the player's own stop
        // after the end); played again, from the start.
        video.seek(11000);
        QCOMPARE(r.next("position", [duration](qint64 p) { return p == duration; }), duration);
        QVERIFY(r.status("paused", 3000));
        QTest::qWait(500); // the player's own stop after the end comes meanwhile
        QVERIFY(!r.got.contains("status stoped"));
        video.play();
        QVERIFY(r.status("playing"));
        QVERIFY(r.next("position", [](qint64 p) { return p < 3000; }) > 0);
    }

    // Steps in one direction add up: sums saturate rather than wrap into the other
    // direction, and a change of direction starts over.
    void stepSumsSaturate()
    {
        VideoController video;
        const qint64 max = std::numeric_limits<qint64>::max();
        const qint64 min = std::numeric_limits<qint64>::min();
        QList<qint64> steps;
        for (qint64 t : {max - 5, qint64(10), qint64(-5), min + 1, qint64(-10), qint64(7)}) {
            video.step(t);
            steps << video.stepMs();
        }
        QCOMPARE(steps, (QList<qint64>{max - 5, max, -5, min, min, 7}));
    }

    void closeLeavesNothingOpen_data()
    {
        QTest::addColumn<QString>("when");
        QTest::newRow("right after the start") << "start";
        QTest::newRow("while playing") << "playing";
        QTest::newRow("while stepping") << "stepping";
    }
    // Whenever the show ends, the stream goes with it, even one still opening;
    // nobody is told anything more and nothing ticks on.
    void closeLeavesNothingOpen()
    {
        QFETCH(QString, when);
        VideoController video;
        Reports r(video);
        video.open(kVideo, 7, "phone");
        if (when != "start")
            QVERIFY(r.status("playing"));
        if (when == "stepping")
            video.step(1000);
        video.close();
        QVERIFY(!video.isStepping());
        QCOMPARE(libvlc_media_player_get_media(video.player()->core()), nullptr);
        r.got.clear();
        video.play(); // nothing to play
        QTest::qWait(1000);
        QCOMPARE(r.got, QStringList());
        QVERIFY(video.state() != Vlc::Playing);
    }

    // A second pause does not resume, a negative time is the start, volume and mute
    // set before there is any sound output are kept, and a player deleted while
    // playing delivers nothing more.
    void playerUnderneath()
    {
        VlcInstance vlc(VlcInstance::defaultArgs());
        auto player = std::make_unique<VlcMediaPlayer>(&vlc);
        QSignalSpy volume(player->audio(), &VlcAudio::volumeChanged);
        QSignalSpy mute(player->audio(), &VlcAudio::muteChanged);
        player->audio()->setVolume(40);
        player->audio()->setVolume(40); // no change, no signal
        player->audio()->toggleMute();
        VlcMedia media(kVideo, false, &vlc);
        player->open(&media);
        QTRY_COMPARE(player->state(), Vlc::Playing);
        QCOMPARE(player->audio()->volume(), 40); // libvlc's own reading is 0 or -1 here
        QVERIFY(player->audio()->getMute());
        QCOMPARE(volume.size() + mute.size(), 2);
        player->pause();
        QTRY_COMPARE(player->state(), Vlc::Paused);
        player->pause();
        QTest::qWait(300);
        QCOMPARE(player->state(), Vlc::Paused);
        for (int target : {-5000, 1000}) {
            player->setTime(target);
            QTRY_VERIFY(qAbs(player->time() - qMax(target, 0)) < 400);
        }
        player->play();
        int delivered = 0;
        connect(player.get(), &VlcMediaPlayer::timeChanged, this, [&] { ++delivered; });
        QTRY_VERIFY(delivered > 3);
        player.reset();
        const int before = delivered;
        QTest::qWait(500);
        QCOMPARE(delivered, before);
    }
};

QTEST_MAIN(TestVideoController)
#include "tst_videocontroller.moc"
