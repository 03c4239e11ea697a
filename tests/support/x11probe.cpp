#include "x11probe.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstring>

namespace
{

// A window that vanished between two calls makes Xlib report BadWindow; a probe
// must survive that instead of ending the test through the default handler.
int ignoreXErrors(Display*, XErrorEvent*)
{
    return 0;
}

QString utf8Property(Display* dpy, Window w, Atom property, Atom type)
{
    Atom actualType = 0;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(dpy, w, property, 0, 1024, False, type, &actualType, &format, &count,
                           &after, &data) != Success)
        return QString();
    QString text;
    if (data && actualType == type && format == 8)
        text = type == XA_STRING ? QString::fromLatin1(reinterpret_cast<char*>(data), int(count))
                                 : QString::fromUtf8(reinterpret_cast<char*>(data), int(count));
    if (data)
        XFree(data);
    return text;
}

int maskShift(unsigned long mask)
{
    int shift = 0;
    while (mask && !(mask & 1)) {
        mask >>= 1;
        ++shift;
    }
    return shift;
}

} // namespace

X11Probe::X11Probe()
{
    XSetErrorHandler(ignoreXErrors);
    m_display = XOpenDisplay(nullptr);
}

X11Probe::~X11Probe()
{
    if (m_display)
        XCloseDisplay(m_display);
}

QSize X11Probe::screenSize() const
{
    if (!m_display)
        return QSize();
    const int s = DefaultScreen(m_display);
    return QSize(DisplayWidth(m_display, s), DisplayHeight(m_display, s));
}

QString X11Probe::windowTitle(unsigned long window) const
{
    if (!m_display)
        return QString();
    const Atom netName = XInternAtom(m_display, "_NET_WM_NAME", False);
    const Atom utf8 = XInternAtom(m_display, "UTF8_STRING", False);
    QString title = utf8Property(m_display, window, netName, utf8);
    if (title.isEmpty())
        title = utf8Property(m_display, window, XA_WM_NAME, utf8);
    if (title.isEmpty())
        title = utf8Property(m_display, window, XA_WM_NAME, XA_STRING);
    return title;
}

unsigned long X11Probe::findIn(unsigned long parent, const QString& title, int depth,
                               unsigned long* hidden) const
{
    Window root = 0;
    Window parentOut = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(m_display, parent, &root, &parentOut, &children, &count))
        return 0;
    unsigned long found = 0;
    // Topmost first: the stacking order lists the bottom window first.
    for (int i = int(count) - 1; i >= 0 && !found; --i) {
        if (windowTitle(children[i]) == title) {
            if (isViewable(children[i]))
                found = children[i];
            else if (!*hidden)
                *hidden = children[i];
        }
    }
    // A window manager wraps clients in frames: look one or two levels down.
    for (int i = int(count) - 1; i >= 0 && !found && depth > 0; --i)
        found = findIn(children[i], title, depth - 1, hidden);
    if (children)
        XFree(children);
    return found;
}

unsigned long X11Probe::findWindow(const QString& title) const
{
    if (!m_display)
        return 0;
    unsigned long hidden = 0;
    const unsigned long viewable = findIn(DefaultRootWindow(m_display), title, 2, &hidden);
    return viewable ? viewable : hidden;
}

QRect X11Probe::geometry(unsigned long window) const
{
    if (!m_display || !window)
        return QRect();
    XWindowAttributes attrs;
    if (!XGetWindowAttributes(m_display, window, &attrs))
        return QRect();
    int rx = 0;
    int ry = 0;
    Window child = 0;
    XTranslateCoordinates(m_display, window, DefaultRootWindow(m_display), 0, 0, &rx, &ry, &child);
    return QRect(rx, ry, attrs.width, attrs.height);
}

bool X11Probe::isViewable(unsigned long window) const
{
    if (!m_display || !window)
        return false;
    XWindowAttributes attrs;
    if (!XGetWindowAttributes(m_display, window, &attrs))
        return false;
    return attrs.map_state == IsViewable;
}

QImage X11Probe::grab(const QRect& wanted) const
{
    if (!m_display)
        return QImage();
    const QRect rect = wanted.intersected(QRect(QPoint(0, 0), screenSize()));
    if (rect.isEmpty())
        return QImage();
    XImage* xi = XGetImage(m_display, DefaultRootWindow(m_display), rect.x(), rect.y(),
                           unsigned(rect.width()), unsigned(rect.height()), AllPlanes, ZPixmap);
    if (!xi)
        return QImage();
    QImage out(rect.size(), QImage::Format_RGB32);
    const bool direct32 = xi->bits_per_pixel == 32 && xi->red_mask == 0xff0000 &&
                          xi->green_mask == 0xff00 && xi->blue_mask == 0xff &&
                          xi->byte_order == LSBFirst;
    if (direct32) {
        for (int y = 0; y < rect.height(); ++y)
            std::memcpy(out.scanLine(y), xi->data + y * xi->bytes_per_line,
                        size_t(rect.width()) * 4);
    } else {
        const int rs = maskShift(xi->red_mask);
        const int gs = maskShift(xi->green_mask);
        const int bs = maskShift(xi->blue_mask);
        const unsigned long rm = xi->red_mask >> rs;
        const unsigned long gm = xi->green_mask >> gs;
        const unsigned long bm = xi->blue_mask >> bs;
        for (int y = 0; y < rect.height(); ++y) {
            auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
            for (int x = 0; x < rect.width(); ++x) {
                const unsigned long p = XGetPixel(xi, x, y);
                const auto scale = [](unsigned long v, unsigned long max) {
                    return max ? int(v * 255 / max) : 0;
                };
                line[x] = qRgb(scale((p >> rs) & rm, rm), scale((p >> gs) & gm, gm),
                               scale((p >> bs) & bm, bm));
            }
        }
    }
    XDestroyImage(xi);
    return out;
}

QRgb X11Probe::pixel(int x, int y) const
{
    const QImage one = grab(QRect(x, y, 1, 1));
    return one.isNull() ? 0 : one.pixel(0, 0);
}

QPoint X11Probe::pointer() const
{
    if (!m_display)
        return QPoint(-1, -1);
    Window root = 0;
    Window child = 0;
    int rx = 0;
    int ry = 0;
    int wx = 0;
    int wy = 0;
    unsigned int mask = 0;
    if (!XQueryPointer(m_display, DefaultRootWindow(m_display), &root, &child, &rx, &ry, &wx, &wy,
                       &mask))
        return QPoint(-1, -1);
    return QPoint(rx, ry);
}

bool X11Probe::warpPointer(int x, int y) const
{
    if (!m_display)
        return false;
    XWarpPointer(m_display, None, DefaultRootWindow(m_display), 0, 0, 0, 0, x, y);
    XSync(m_display, False);
    return true;
}

bool X11Probe::sendDeleteWindow(unsigned long window) const
{
    if (!m_display || !window)
        return false;
    XEvent ev;
    std::memset(&ev, 0, sizeof ev);
    ev.xclient.type = ClientMessage;
    ev.xclient.window = window;
    ev.xclient.message_type = XInternAtom(m_display, "WM_PROTOCOLS", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = long(XInternAtom(m_display, "WM_DELETE_WINDOW", False));
    ev.xclient.data.l[1] = CurrentTime;
    const Status ok = XSendEvent(m_display, window, False, NoEventMask, &ev);
    XSync(m_display, False);
    return ok != 0;
}

void X11Probe::sync() const
{
    if (m_display)
        XSync(m_display, False);
}
