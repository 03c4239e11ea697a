// The video overlay on the offscreen platform: where its decorations land, the
// volume indicator's colours and lifetime, the time texts, and what clicks and keys do.

#include "show/videomanage.h"

#include <QGraphicsEllipseItem>
#include <QGraphicsView>
#include <QtTest>

#include <cmath>
#include <limits>

using Points = QList<QPointF>;

class TestVideoOverlay : public QObject
{
    Q_OBJECT
    // Play image, mute sign; then the lowest and the top volume step: position,
    // rectangle's corner, rectangle's size.
    static Points geometry(const VideoManage& s)
    {
        Points at{s.playImagePos(), s.muteImagePos()};
        for (const QGraphicsEllipseItem* e : {s.volumeItems().first(), s.volumeItems().last()})
            at << e->pos() << e->rect().topLeft() << QPointF(e->rect().width(), e->rect().height());
        return at;
    }
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
    void initTestCase() { Q_INIT_RESOURCE(jw); }

    void layout_data()
    {
        QTest::addColumn<QSize>("to");
        QTest::addColumn<bool>("viaDialog");
        QTest::addColumn<Points>("at");
        const QPointF c(-25, -25);
        const Points hd{{576, 296}, {1200, 10}, {1242, 720}, c, {7, 12}, {1210, 567}, c, {70, 12}};
        QTest::newRow("1920x1080")
            << QSize(1920, 1080) << false
            << Points{{896, 476}, {1840, 10}, {1865, 1080}, c, {10, 15}, {1820, 900}, c, {100, 15}};
        QTest::newRow("to 1280x720") << QSize(1280, 720) << false << hd;
        QTest::newRow("dialog to 1280x720") << QSize(1280, 720) << true << hd;
        // Smaller than the play image: divisions truncate toward zero, not down.
        QTest::newRow("to 99x49") << QSize(99, 49) << false
                                  << Points{{-14, -39}, {19, 10},  {99, 49}, c,
                                            {0, 5},     {99, -41}, c,        {0, 5}};
    }

    void layout()
    {
        QFETCH(QSize, to);
        QFETCH(bool, viaDialog);
        videoShowStatDialog dialog;
        VideoManage own;
        VideoManage& s = viaDialog ? *dialog.scene() : own;
        if (viaDialog) {
            dialog.show();
            dialog.resize(1920, 1080);
            QTRY_COMPARE(s.sceneRect(), QRectF(0, 0, 1920, 1080));
        }
        // Once up, neither added again nor moved.
        for (QSize size : {QSize(1920, 1080), QSize(800, 600)}) {
            s.ShowPlayImage(size.width(), size.height());
            s.ShowTimeText(size.width(), size.height());
            s.SetMuteImage(size);
        }
        s.paintVolume(60, QSize(1920, 1080));
        QCOMPARE(s.items().size(), 13);
        if (viaDialog) {
            dialog.resize(to);
            QTRY_COMPARE(dialog.view()->size(), to);
            QCOMPARE(s.sceneRect(), QRectF(QPointF(0, 0), to));
        } else if (to != QSize(1920, 1080)) {
            s.WindowSizeChanged(to);
        }
        QTEST(geometry(s), "at");
        QVERIFY(lights(s, 6));
        // The time, however long, lies wholly inside, in the lower right corner.
        if (to.height() >= 360) {
            s.SetMediaTotalTime(23 * 3600 * 1000);
            s.SetMediaTime(22 * 3600 * 1000);
            const QRectF time = s.timeTextRect();
            QVERIFY(QRectF(QPointF(0, 0), to).contains(time));
            QVERIFY(time.right() > to.width() * 0.9 && time.bottom() > to.height() * 0.9);
        }
        s.RemovePlayImage();
        s.RemoveTimeText();
        s.RemoveMuteImage();
        QCOMPARE(s.items().size(), 10);
    }

    void volume_data()
    {
        QTest::addColumn<QList<uint>>("values");
        QTest::addColumn<int>("lit");
        QTest::newRow("0") << QList<uint>{0} << 0;
        QTest::newRow("5") << QList<uint>{5} << 1;
        QTest::newRow("10") << QList<uint>{10} << 1;
        QTest::newRow("11") << QList<uint>{11} << 2;
        QTest::newRow("100") << QList<uint>{100} << 10;
        QTest::newRow("100 then 0") << QList<uint>{100, 0} << 0;
        QTest::newRow("0 then 95, other size") << QList<uint>{0, 95} << 10;
    }

    // A later value only recolours: same items in the same places, even for another size.
    void volume()
    {
        QFETCH(QList<uint>, values);
        VideoManage s;
        s.paintVolume(values.first(), QSize(1920, 1080));
        const QList<QGraphicsEllipseItem*> first = s.volumeItems();
        const Points places = geometry(s);
        for (uint v : values.mid(1))
            s.paintVolume(v, QSize(800, 600));
        QCOMPARE(s.volumeItems(), first);
        QCOMPARE(s.items().size(), 10);
        QCOMPARE(geometry(s), places);
        QFETCH(int, lit);
        QVERIFY(lights(s, lit));
        QVERIFY(s.volumeShown() && s.volumeTimerActive());
    }

    // Each change keeps it up two more seconds; then it goes, and the timer with it.
    void volumeTimesOut()
    {
        VideoManage s;
        s.paintVolume(30, QSize(1920, 1080));
        QTest::qWait(1200);
        s.paintVolume(40, QSize(1920, 1080));
        QTest::qWait(1200);
        QVERIFY(s.volumeShown());
        QTRY_VERIFY_WITH_TIMEOUT(!s.volumeShown(), 3000);
        QVERIFY(s.items().isEmpty() && s.volumeItems().isEmpty() && !s.volumeTimerActive());
        s.paintVolume(70, QSize(1920, 1080));
        QVERIFY(lights(s, 7) && s.items().size() == 10);
    }

    void times_data()
    {
        QTest::addColumn<int>("total");
        QTest::addColumn<float>("current");
        QTest::addColumn<QString>("text");
        const QString before = "00:01:01/01:02:03";
        QTest::newRow("new total and time") << 7200000 << 3600000.f << "01:00:00/02:00:00";
        QTest::newRow("ms truncated") << 0 << 1999.9f << "00:00:01/01:02:03";
        QTest::newRow("hours wrap") << 90000000 << 90061000.f << "01:01:01/01:00:00";
        QTest::newRow("zero ignored") << 0 << 0.f << before;
        QTest::newRow("negative ignored") << -5 << -1.f << before;
        QTest::newRow("NaN ignored") << 0 << std::nanf("") << before;
        // Clamped to 1e15 ms, which is 01:46:40 into a day.
        QTest::newRow("infinity") << 0 << std::numeric_limits<float>::infinity()
                                  << "01:46:40/01:02:03";
        QTest::newRow("1e30") << 0 << 1e30f << "01:46:40/01:02:03";
    }

    void times()
    {
        QFETCH(int, total);
        QFETCH(float, current);
        VideoManage s;
        s.SetMediaTime(61000);
        QCOMPARE(s.timeText(), QString("00:01:01"));
        s.SetMediaTotalTime(3723000);
        s.SetMediaTime(61000);
        s.SetMediaTotalTime(total);
        s.SetMediaTime(current);
        QTEST(s.timeText(), "text");
    }

    void input_data()
    {
        QTest::addColumn<bool>("playImage");
        QTest::addColumn<int>("state");
        QTest::addColumn<int>("button"); // clicked anywhere, not only on the play image
        QTest::addColumn<int>("key");
        QTest::addColumn<QString>("emitted");
        const int left = Qt::LeftButton, right = Qt::RightButton, playing = Vlc::Playing;
        QTest::newRow("play image") << true << playing << left << 0 << "clicked";
        QTest::newRow("playing") << false << playing << left << 0 << "pause";
        QTest::newRow("paused") << false << int(Vlc::Paused) << left << 0 << "";
        QTest::newRow("idle") << false << int(Vlc::Idle) << left << 0 << "";
        QTest::newRow("right, play image") << true << playing << right << 0 << "";
        QTest::newRow("right, playing") << false << playing << right << 0 << "";
        // Esc belongs to the show window: the overlay reports it and stays up.
        QTest::newRow("Esc") << true << playing << 0 << int(Qt::Key_Escape) << "escape";
        QTest::newRow("letter") << true << playing << 0 << int(Qt::Key_A) << "";
        QTest::newRow("Return") << true << playing << 0 << int(Qt::Key_Return) << "";
    }

    void input()
    {
        QFETCH(bool, playImage);
        QFETCH(int, state);
        QFETCH(int, button);
        QFETCH(int, key);
        videoShowStatDialog dialog;
        dialog.resize(640, 360);
        dialog.show();
        VideoManage& s = *dialog.scene();
        if (playImage)
            s.ShowPlayImage(640, 360);
        s.sl_videState(Vlc::State(state));
        QSignalSpy clicked(&s, &VideoManage::msg_playImageClicked);
        QSignalSpy paused(&s, &VideoManage::msg_Pause);
        QSignalSpy escaped(&dialog, &videoShowStatDialog::msg_keyEscPress);
        if (button)
            QTest::mouseClick(dialog.view()->viewport(), Qt::MouseButton(button), {}, {20, 20});
        else
            QTest::keyClick(&dialog, Qt::Key(key));
        QTEST(QString("clicked").repeated(clicked.count()) +
                  QString("pause").repeated(paused.count()) +
                  QString("escape").repeated(escaped.count()),
              "emitted");
        QVERIFY(dialog.isVisible());
    }
};

QTEST_MAIN(TestVideoOverlay)
#include "tst_videooverlay.moc"
