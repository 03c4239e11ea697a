#include "show/vlc/vlcwidgetvideo.h"

#include <QGuiApplication>

#ifdef Q_OS_LINUX
#include <X11/Xlib.h> // after Qt's headers: Xlib defines macros that clash with them
#endif

VlcWidgetVideo::VlcWidgetVideo(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_NativeWindow);
    setAttribute(Qt::WA_DontCreateNativeAncestors);
    setAttribute(Qt::WA_PaintOnScreen);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
}

VlcWidgetVideo::~VlcWidgetVideo()
{
    if (m_stopPlayer)
        m_stopPlayer();
}

void VlcWidgetVideo::paintEvent(QPaintEvent*)
{
#ifdef Q_OS_LINUX
    // Qt gives its X windows no background, so until the first frame this one
    // would show whatever was on the screen before; the server paints it black
    // instead. Qt does not lend its display connection, and a request on ours
    // could overtake Qt's creating the window: wait for its first exposure.
    if (m_blackened == winId())
        return;
    m_blackened = winId();
    static Display* const display =
        QGuiApplication::platformName() == QLatin1String("xcb") ? XOpenDisplay(nullptr) : nullptr;
    if (display) {
        XSetWindowBackground(display, m_blackened, BlackPixel(display, DefaultScreen(display)));
        XClearWindow(display, m_blackened);
        XFlush(display);
    }
#endif
}
