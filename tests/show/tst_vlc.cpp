// The libvlc wrapper on the X server: the test video (12 s of one colour with a
// tone) played through a file:// location into a shown widget, with a silent
// audio output.

#include "x11probe.h"

#include "show/vlc/vlcaudio.h"
#include "show/vlc/vlcinstance.h"
#include "show/vlc/vlcmedia.h"
#include "show/vlc/vlcmediaplayer.h"
#include "show/vlc/vlcwidgetvideo.h"

#include <QElapsedTimer>
#include <QtTest>
#include <memory>

class TestVlc : public QObject
{
    Q_OBJECT
    QString m_url;
    std::unique_ptr<VlcInstance> m_vlc;
    QWidget m_frame;
    VlcWidgetVideo* m_widget = nullptr;

    // The video's colour (0x3060C0) in the middle of the widget.
    bool videoOnScreen() const
    {
        const QPoint c = m_widget->mapToGlobal(m_widget->rect().center());
        const QRgb p = X11Probe().pixel(c.x(), c.y());
        return qAbs(qRed(p) - 0x30) < 40 && qAbs(qGreen(p) - 0x60) < 40 &&
               qAbs(qBlue(p) - 0xC0) < 40;
    }

private slots:
    void initTestCase()
    {
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            QSKIP("needs an X server");
        m_url = QUrl::fromLocalFile(JW_SOURCE_DIR "/tests/data/solid12s.mp4").toString();
        qputenv("JWSHOW_VLC_ARGS", "--aout=adummy");
        m_vlc = std::make_unique<VlcInstance>(VlcInstance::defaultArgs());
        QVERIFY(m_vlc->isValid());
        // On a white frame already on the screen, the video is black before any frame.
        m_frame.setStyleSheet("background: white");
        m_frame.setGeometry(100, 100, 320, 240);
        m_frame.show();
        QVERIFY(QTest::qWaitForWindowExposed(&m_frame));
        QTRY_COMPARE(X11Probe().pixel(260, 220), qRgb(255, 255, 255));
        m_widget = new VlcWidgetVideo(&m_frame);
        m_widget->resize(m_frame.size());
        m_widget->show();
        QTRY_COMPARE(X11Probe().pixel(260, 220), qRgb(0, 0, 0));
    }

    void playsPausesAndEnds()
    {
        VlcMediaPlayer player(m_vlc.get());
        player.setVideoWidget(m_widget);
        QList<Vlc::State> states;
        connect(&player, &VlcMediaPlayer::stateChanged, [&] { states << player.state(); });
        QList<float> positions;
        connect(&player, &VlcMediaPlayer::positionChanged, [&](float p) { positions << p; });
        QSignalSpy length(&player, &VlcMediaPlayer::lengthChanged);
        VlcMedia media(m_url, false, m_vlc.get());
        player.open(&media);
        QTRY_COMPARE(player.state(), Vlc::Playing);
        QTRY_VERIFY(videoOnScreen()); // drawn into our window

        player.pause();
        QTRY_COMPARE(player.state(), Vlc::Paused);
        player.pause(); // pausing again must not resume
        QTest::qWait(300);
        QCOMPARE(player.state(), Vlc::Paused);
        for (int target : {-5000, 1000}) { // a negative time is the start, not a wrap
            player.setTime(target);
            QTRY_VERIFY(qAbs(player.time() - qMax(target, 0)) < 400);
        }
        player.play();
        QTRY_COMPARE(player.state(), Vlc::Playing);
        QTRY_VERIFY(positions.size() >= 3);
        player.setTime(11500);
        QTRY_VERIFY_WITH_TIMEOUT(states.contains(Vlc::Ended), 10000);

        // libvlc 3 follows the end with a Stopped of its own.
        QCOMPARE(states.mid(states.indexOf(Vlc::Playing), 4),
                 (QList<Vlc::State>{Vlc::Playing, Vlc::Paused, Vlc::Playing, Vlc::Ended}));
        QVERIFY(!length.isEmpty());
        QVERIFY(qAbs(length.last().at(0).toInt() - 12000) < 200);
        QVERIFY(positions.size() >= 3);
        QVERIFY(positions.last() > positions.first());

        player.play(); // after the end, from the start
        QTRY_COMPARE(player.state(), Vlc::Playing);
    }

    void audioKeepsItsOwnValues()
    {
        VlcMediaPlayer player(m_vlc.get());
        QSignalSpy volume(player.audio(), &VlcAudio::volumeChanged);
        QSignalSpy mute(player.audio(), &VlcAudio::muteChanged);
        player.audio()->setVolume(40);
        player.audio()->setVolume(40); // no change, no signal
        player.audio()->toggleMute();
        VlcMedia media(m_url, false, m_vlc.get());
        player.open(&media);
        QTRY_COMPARE(player.state(), Vlc::Playing);
        QCOMPARE(player.audio()->volume(), 40); // libvlc's own reading is 0 or -1 here
        QVERIFY(player.audio()->getMute());
        player.audio()->toggleMute();
        QVERIFY(!player.audio()->getMute());
        QCOMPARE(volume.size(), 1);
        QCOMPARE(mute.size(), 2);
        QCOMPARE(mute.at(1).at(0).toBool(), false);
    }

    void destroyedWhilePlaying()
    {
        auto* player = new VlcMediaPlayer(m_vlc.get());
        player->setVideoWidget(m_widget);
        int delivered = 0;
        connect(player, &VlcMediaPlayer::stateChanged, this, [&] { ++delivered; });
        connect(player, &VlcMediaPlayer::timeChanged, this, [&] { ++delivered; });
        connect(player, &VlcMediaPlayer::positionChanged, this, [&] { ++delivered; });
        VlcMedia media(m_url, false, m_vlc.get());
        player->open(&media);
        QTRY_VERIFY(player->state() == Vlc::Playing && player->time() > 300);
        QElapsedTimer clock;
        clock.start();
        delete player;
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
        const int before = delivered;
        QTest::qWait(500);
        QCOMPARE(delivered, before);
    }
};

QTEST_MAIN(TestVlc)
#include "tst_vlc.moc"
