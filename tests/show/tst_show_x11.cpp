// The show window in process on a real X server (with or without a window manager),
// seen from outside through an Xlib probe.

#include "flatpng.h"
#include "httpserver.h"
#include "x11probe.h"

#include "base/showimagerect.h"
#include "host/windowmanager.h"
#include "show/jwshowui.h"
#include "show/vlc/vlcmediaplayer.h"

#include <QScreen>
#include <QWindow>
#include <QtTest>

#include <X11/Xlib.h> // after Qt's headers: its macros clash with them
#include <vlc/vlc.h>

namespace
{
const cmd::ShowState kShow{false, cmd::ShowTarget::Shown};
const cmd::ShowState kHide{false, cmd::ShowTarget::Hidden};
const cmd::ShowState kClose{true, cmd::ShowTarget::Keep};
} // namespace

class TestShowX11 : public QObject
{
    Q_OBJECT
    X11Probe m_probe;
    ShowImageRect m_shown; // where the window under test puts its picture

    unsigned long window() { return m_probe.findWindow("Tovanel-演示模式"); }
    QRect imageRect() const
    {
        const ShowImageRect::Rect r = m_shown.get();
        return QRect(r.left, r.top, r.width, r.height);
    }
    // colour fills r on the screen (centre and corners) and stops at its edges.
    bool showsOnly(const QRect& r, QRgb colour)
    {
        const QPoint x(1, 0), y(0, 1), tl = r.topLeft(), br = r.bottomRight();
        for (QPoint p :
             {r.center(), tl, r.topRight(), r.bottomLeft(), br, tl - x, tl - y, br + x, br + y})
            if ((m_probe.pixel(p.x(), p.y()) == colour) != r.contains(p)) // 0 off the screen
                return false;
        return true;
    }

private slots:
    void initTestCase()
    {
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            QSKIP("needs an X server");
        QCOMPARE(QGuiApplication::primaryScreen()->size(), QSize(1920, 1080));
        QVERIFY(m_probe.waitForDesktop());
        Q_INIT_RESOURCE(jw);
    }

    // Asked to show, the window covers the screen every time; shown while shown it is
    // only raised (a hide first let a manager forget its full-screen state).
    void fullScreenEveryTime()
    {
        JWShowUi ui;
        ui.setAutoFull(true);
        ui.winId(); // its window made, to be watched
        QSignalSpy shownOrHidden(ui.windowHandle(), &QWindow::visibleChanged);
        for (int i = 0; i < 6; ++i) {
            ui.apply(kShow);
            QTRY_VERIFY2_WITH_TIMEOUT(
                m_probe.coversScreen(window()),
                qPrintable(QString("round %1: ").arg(i) + m_probe.netWmState(window()).join(' ')),
                5000);
            QCOMPARE(shownOrHidden.count(), 2 * i + 1); // no hide but the round's before
            ui.apply(kShow);
            ui.apply(kShow);
            QVERIFY(m_probe.coversScreen(window()));
            QCOMPARE(shownOrHidden.count(), 2 * i + 1);
            ui.apply(kHide);
        }
    }

    // A close right behind a video's start leaves nothing open; a video right after a
    // show that waits for the window manager starts with it, black until its first frame.
    void videoNotOpenedAfterClose_data()
    {
        QTest::addColumn<bool>("hiddenBefore");
        QTest::addColumn<bool>("closed");
        QTest::newRow("window closed meanwhile") << false << true;
        QTest::newRow("window still shown") << false << false;
        QTest::newRow("shown again right after a hide") << true << false;
    }
    void videoNotOpenedAfterClose()
    {
        QFETCH(bool, hiddenBefore);
        QFETCH(bool, closed);
        JWShowUi ui;
        ui.apply(kShow);
        QTRY_VERIFY(m_probe.isViewable(window()));
        const QPoint inside = m_probe.geometry(window()).topLeft() + QPoint(20, 20);
        QTRY_COMPARE(m_probe.pixel(inside.x(), inside.y()), qRgb(255, 255, 255)); // no picture
        if (hiddenBefore) {
            // A slow manager still holds the hidden window (its WM_STATE) when it is shown.
            ui.apply(kHide);
            QTRY_VERIFY(!host::WindowHeldByManager(ui.winId()));
            Display* dpy = XOpenDisplay(nullptr);
            const Atom wmState = XInternAtom(dpy, "WM_STATE", False);
            const long normal[2] = {1, 0};
            XChangeProperty(dpy, ui.winId(), wmState, wmState, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(normal), 2);
            XCloseDisplay(dpy);
            ui.apply(kShow);
        }
        QList<cmd::ShowCommand> commands{cmd::PlayVideo{"http://127.0.0.1:9/v.mp4", 7, "phone"}};
        if (closed)
            commands << kClose;
        for (const cmd::ShowCommand& c : commands)
            QMetaObject::invokeMethod(
                &ui, [&ui, c] { ui.apply(c); }, Qt::QueuedConnection);
        QTRY_VERIFY(!ui.isVisible() == closed && ui.isVideoMode() != closed);
        libvlc_media_t* media = libvlc_media_player_get_media(ui.video().player()->core());
        QCOMPARE(media == nullptr, closed);
        if (media)
            libvlc_media_release(media);
        if (!closed)
            QTRY_COMPARE(m_probe.pixel(inside.x(), inside.y()), qRgb(0, 0, 0));
    }

    void escapeAndCloseInProcess()
    {
        TestHttpServer http;
        QVERIFY(http.start());
        const QRgb red = qRgb(200, 40, 40);
        http.serve("/red.png", flatPng(red, 1600, 1200), "image/png");
        JWShowUi ui;
        ui.setPictureRect(&m_shown);
        ui.apply(kShow);
        const QRect small(560, 240, 800, 600);
        QTRY_COMPARE(m_probe.geometry(window()), small);
        ui.apply(cmd::ShowPicture{7, http.url("/red.png")});
        QTRY_VERIFY(!ui.sourcePicture().isNull());
        // Esc toggles full screen, the picture refitted from its source each time (1600
        // / (1200 / 1080) in single precision is 1439.99..., cut to 1439).
        for (const auto& [screen, picture] :
             {std::pair{QRect(0, 0, 1920, 1080), QRect(240, 0, 1439, 1080)}, {small, small}}) {
            QTest::keyClick(&ui, Qt::Key_Escape);
            QTRY_COMPARE(m_probe.geometry(window()), screen);
            QTRY_COMPARE(imageRect(), picture);
            QTRY_VERIFY(showsOnly(imageRect(), red));
        }
        ui.move(ui.pos() + QPoint(37, 21)); // the pointer's rectangle follows the picture
        QTRY_COMPARE(imageRect(), small.translated(37, 21));
        QTRY_VERIFY(showsOnly(imageRect(), red));
        // The close button hides the window; shown again, it has the idle picture.
        QVERIFY(m_probe.sendDeleteWindow(window()));
        QTRY_VERIFY(!m_probe.isViewable(window()));
        QCOMPARE(ui.sourcePicture().toImage().convertToFormat(QImage::Format_RGB32),
                 QImage(":/jw/screen").convertToFormat(QImage::Format_RGB32));
    }
};

QTEST_MAIN(TestShowX11)
#include "tst_show_x11.moc"
