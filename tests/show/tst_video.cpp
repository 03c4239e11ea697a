// Offscreen: the video controller's reports while the test video (12 s of one colour)
// plays without output, what the end of a show leaves, and the overlay.

#include "show/videocontroller.h"
#include "show/videomanage.h"
#include "show/vlc/vlcmediaplayer.h"

#include <QGraphicsEllipseItem>
#include <QGraphicsView>
#include <QtTest>

#include <cmath>
#include <functional>
#include <limits>
#include <vlc/vlc.h>

namespace
{
const QString kVideo = QUrl::fromLocalFile(JW_SOURCE_DIR "/tests/data/solid12s.mp4").toString();

// The reports as the phone reads them, "volume 50", "status playing", ...
struct Reports : QObject {
    QStringList got;
    explicit Reports(VideoController& v)
    {
        connect(&v, &VideoController::videoReport, this, [this](const cmd::VideoReport& r) {
            static const char* const names[] = {"duration", "position", "status", "volume"};
            got << QString(r.sock == 7 && r.to == "phone" ? names[int(r.what)] : "stranger") + ' ' +
                       r.value;
        });
    }
    // Waits up to ms for the first report of `what` (and a value `want` accepts),
    // dropping those before it: its value, or -1 when none came.
    qint64 next(const QString& what, const std::function<bool(qint64)>& want = {}, int ms = 8000)
    {
        for (QDeadlineTimer deadline(ms); !deadline.hasExpired(); QTest::qWait(10))
            while (!got.isEmpty()) {
                const QStringList r = got.takeFirst().split(' ');
                if (r[0] == what && (!want || want(r[1].toLongLong())))
                    return r[1].toLongLong();
            }
        return -1;
    }
    bool status(const QString& word, int ms = 8000)
    {
        const QString want = "status " + word;
        return QTest::qWaitFor(
            [&] { return got.contains(want) && (got = got.mid(got.indexOf(want) + 1), true); }, ms);
    }
};
} // namespace

class TestVideo : public QObject
{
    Q_OBJECT
    // The ten steps, bottom to top: the lowest `lit` ones blue, the others grey.
    static bool lights(const VideoManage& s, int lit)
    {
        for (int k = 0; k < s.volumeItems().size(); ++k)
            if (s.volumeItems()[k]->brush().color() !=
                (k < lit ? QColor(30, 144, 255) : QColor(Qt::gray)))
                return false;
        return s.volumeItems().size() == 10;
    }

private slots:
    void initTestCase()
    {
        Q_INIT_RESOURCE(jw);
        qputenv("JWSHOW_VLC_ARGS", "--aout=adummy --no-video");
    }

    void playPauseSeekStepStopAndEnd()
    {
        VideoController video;
        Reports r(video);
        video.open(kVideo, 7, "phone");
        QCOMPARE(r.got.value(0), QString("volume 50")); // before anything the player says
        const qint64 duration = r.next("duration", [](qint64 d) { return d > 11500 && d < 12500; });
        QVERIFY(r.status("playing")); // pause and play are the browser suite's videoPlayPause
        // 1 s a tick, 2 s after a second step forward, back 1 s after one backward.
        video.seek(3000);
        for (const QPoint& s : {QPoint(1000, 1000), QPoint(1000, 2000), QPoint(-1000, -1000)}) {
            video.step(s.x());
            QVERIFY(s.y() != 1000 || r.status("paused")); // the first step pauses
            const qint64 p1 = r.next("position", {}, 3000), p2 = r.next("position", {}, 3000);
            QVERIFY(p1 > 0 && p2 > 0 && qAbs((p2 - p1) - s.y()) < 400);
        }
        video.stop();
        QVERIFY(r.status("stoped"));
        auto fromTheStart = [&] {
            video.play();
            return r.status("playing") && r.next("position", [](qint64 p) { return p < 3000; }) > 0;
        };
        QVERIFY(fromTheStart());
        // At the end: the whole duration, then "paused", not the player's own stop.
        video.seek(11000);
        QCOMPARE(r.next("position", [duration](qint64 p) { return p == duration; }), duration);
        QVERIFY(r.status("paused", 3000));
        QTest::qWait(500); // the player's own stop after the end comes meanwhile
        QVERIFY(!r.got.contains("status stoped"));
        QVERIFY(fromTheStart());
    }

    // Steps in one direction add up, saturating instead of wrapping; a turn starts over.
    void stepSumsSaturate()
    {
        VideoController video;
        constexpr qint64 max = std::numeric_limits<qint64>::max(), min = -max - 1;
        QList<qint64> steps;
        for (qint64 t : {max - 5, qint64(10), qint64(-5), min + 1, qint64(-10), qint64(7)}) {
            video.step(t);
            steps << video.stepMs();
        }
        QCOMPARE(steps, (QList<qint64>{max - 5, max, -5, min, min, 7}));
    }

    void closeLeavesNothingOpen_data()
    {
        QTest::addColumn<bool>("stepping");
        QTest::newRow("right after the start") << false;
        QTest::newRow("while stepping") << true;
    }
    // The stream goes with the show, even one still opening; nothing reports or ticks on.
    void closeLeavesNothingOpen()
    {
        QFETCH(bool, stepping);
        VideoController video;
        Reports r(video);
        video.open(kVideo, 7, "phone");
        if (stepping) {
            QVERIFY(r.status("playing"));
            video.step(1000);
        }
        video.close();
        QVERIFY(!video.isStepping());
        QCOMPARE(libvlc_media_player_get_media(video.player()->core()), nullptr);
        r.got.clear();
        video.play(); // nothing to play
        QTest::qWait(1000);
        QCOMPARE(r.got, QStringList());
    }

    // Put up for 1920 x 1080, then made small: every decoration wholly inside, the play
    // sign in the middle, mute at the top right, the time (however long) and the volume
    // at the bottom right. (At full size overlayReadable sees the play sign and time.)
    void layout()
    {
        const QSize size(640, 360);
        videoShowStatDialog dialog;
        VideoManage& s = *dialog.scene();
        s.ShowPlayImage(1920, 1080);
        s.ShowTimeText(1920, 1080);
        s.SetMuteImage(QSize(1920, 1080));
        s.paintVolume(60, QSize(1920, 1080));
        s.SetMediaTotalTime(23 * 3600 * 1000);
        s.SetMediaTime(22 * 3600 * 1000);
        dialog.show();
        dialog.resize(size);
        const QRectF area(QPointF(0, 0), size);
        QTRY_COMPARE(s.sceneRect(), area);
        for (const QGraphicsItem* item : s.items())
            QVERIFY(area.contains(item->sceneBoundingRect()));
        QVERIFY((s.playImagePos() + QPointF(64, 64) - area.center()).manhattanLength() <= 2);
        QVERIFY(s.muteImagePos().x() > size.width() - 100 && s.muteImagePos().y() < 20);
        QVERIFY(s.timeTextRect().right() > size.width() * 0.9 &&
                s.timeTextRect().bottom() > size.height() * 0.9);
        for (const QGraphicsEllipseItem* step : s.volumeItems())
            QVERIFY(QRectF(area.center(), area.bottomRight()).contains(step->sceneBoundingRect()));
    }

    // A later volume only recolours the same items, even for another size; the indicator
    // and its timer go two seconds after the last change. Hours wrap at a day; a time the
    // player got wrong (not above zero, not a number) changes nothing; an infinite one is
    // clamped to 1e15 ms, 01:46:40 into a day.
    void volumeAndTime()
    {
        VideoManage s;
        s.paintVolume(10, QSize(1920, 1080));
        QVERIFY(lights(s, 1));
        const QList<QGraphicsEllipseItem*> first = s.volumeItems();
        const QRectF places = s.itemsBoundingRect();
        for (const QPoint& v : {QPoint(11, 2), QPoint(100, 10), QPoint(0, 0), QPoint(95, 10)}) {
            s.paintVolume(uint(v.x()), QSize(800, 600));
            QVERIFY(lights(s, v.y()));
        }
        QCOMPARE(s.volumeItems(), first);
        QCOMPARE(s.itemsBoundingRect(), places);
        s.SetMediaTime(61000);
        QCOMPARE(s.timeText(), QString("00:01:01"));
        s.SetMediaTotalTime(3723000);
        s.SetMediaTotalTime(-5);
        for (float bad : {61000.f, 0.f, -1.f, std::nanf("")}) {
            s.SetMediaTime(bad);
            QCOMPARE(s.timeText(), QString("00:01:01/01:02:03"));
        }
        s.SetMediaTime(std::numeric_limits<float>::infinity());
        QCOMPARE(s.timeText(), QString("01:46:40/01:02:03"));
        QTRY_VERIFY_WITH_TIMEOUT(!s.volumeShown(), 3000);
        QVERIFY(s.items().isEmpty() && !s.volumeTimerActive());
    }

    // A click anywhere pauses a playing video or, with the play sign up, plays it; Esc is
    // the show window's: reported, overlay kept.
    void input()
    {
        videoShowStatDialog dialog;
        dialog.resize(640, 360);
        dialog.show();
        VideoManage& s = *dialog.scene();
        s.sl_videState(Vlc::Playing);
        QString emitted;
        connect(&s, &VideoManage::msg_playImageClicked, [&] { emitted += "clicked "; });
        connect(&s, &VideoManage::msg_Pause, [&] { emitted += "pause "; });
        connect(&dialog, &videoShowStatDialog::msg_keyEscPress, [&] { emitted += "escape"; });
        QTest::mouseClick(dialog.view()->viewport(), Qt::LeftButton, {}, {20, 20});
        s.ShowPlayImage(640, 360);
        QTest::mouseClick(dialog.view()->viewport(), Qt::LeftButton, {}, {20, 20});
        QTest::keyClick(&dialog, Qt::Key_Escape);
        QCOMPARE(emitted, QString("pause clicked escape"));
        QVERIFY(dialog.isVisible());
    }
};

QTEST_MAIN(TestVideo)
#include "tst_video.moc"
