#include "x11probe.h"

#include <QDeadlineTimer>
#include <QTest>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>

namespace
{
// A window gone between two calls makes Xlib report BadWindow: ignored, not fatal.
Display* openDisplay()
{
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    return XOpenDisplay(nullptr);
}

Atom atom(Display* dpy, const char* name)
{
    return XInternAtom(dpy, name, False);
}

// A window property's items (bytes for format 8, longs for 32).
QByteArray property(Display* dpy, Window w, const char* name, Atom type = AnyPropertyType)
{
    Atom actual = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    QByteArray out;
    if (w &&
        XGetWindowProperty(dpy, w, atom(dpy, name), 0, 1024, False, type, &actual, &format, &count,
                           &after, &data) == Success &&
        data)
        out = QByteArray(reinterpret_cast<char*>(data),
                         int(count) * (format == 32 ? int(sizeof(long)) : format / 8));
    if (data)
        XFree(data);
    return out;
}

QList<Window> childrenOf(Display* dpy, Window parent)
{
    Window root = 0, up = 0, *children = nullptr;
    unsigned int count = 0;
    QList<Window> out;
    if (parent && XQueryTree(dpy, parent, &root, &up, &children, &count) && children) {
        out = QList<Window>(children, children + count);
        XFree(children);
    }
    return out;
}

Window selectionOwner(Display* dpy, const char* name)
{
    return XGetSelectionOwner(dpy, atom(dpy, name));
}

QString text(char* x)
{
    const QString s = x ? QString::fromLatin1(x) : QString();
    if (x)
        XFree(x);
    return s;
}
} // namespace

X11Probe::X11Probe() : m_display(openDisplay(), XCloseDisplay) {}

unsigned long X11Probe::findWindow(const QString& title) const
{
    const QList<unsigned long> viewable = viewableWindows(title);
    return viewable.isEmpty() ? windowsNamed(title).value(0) : viewable.last();
}

QList<unsigned long> X11Probe::viewableWindows(const QString& title) const
{
    QList<unsigned long> out;
    for (unsigned long w : windowsNamed(title))
        if (isViewable(w))
            out << w;
    return out;
}

QList<unsigned long> X11Probe::windowsNamed(const QString& title) const
{
    QList<unsigned long> found;
    // Clients' windows: the root's children, or up to two levels down in a manager's frames.
    QList<Window> level = childrenOf(dpy(), DefaultRootWindow(dpy()));
    for (int depth = 0; depth < 3 && !level.isEmpty(); ++depth) {
        QList<Window> next;
        for (Window w : qAsConst(level)) {
            if (QString::fromUtf8(property(dpy(), w, "_NET_WM_NAME")) == title)
                found << w;
            else
                next += childrenOf(dpy(), w);
        }
        level = next;
    }
    return found;
}

bool X11Probe::waitForDesktop(int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    auto owned = [&](const char* selection) {
        return QTest::qWaitFor([&] { return selectionOwner(dpy(), selection) != None; },
                               int(deadline.remainingTime()));
    };
    if (!qEnvironmentVariableIsEmpty("JW_COMPOSITOR") && !owned("_NET_WM_CM_S0"))
        return false;
    if (qEnvironmentVariableIsEmpty("JW_WINDOW_MANAGER"))
        return true;
    // A manager may own its selection before it takes windows (openbox drops those
    // mapped while it starts): one of ours, mapped anew every half second, must get WM_STATE.
    if (!owned("WM_S0"))
        return false;
    bool ready = false;
    while (!ready && !deadline.hasExpired()) {
        const Window trial =
            XCreateSimpleWindow(dpy(), DefaultRootWindow(dpy()), 0, 0, 10, 10, 0, 0, 0);
        XMapWindow(dpy(), trial);
        XSync(dpy(), False);
        ready = QTest::qWaitFor([&] { return !property(dpy(), trial, "WM_STATE").isEmpty(); },
                                int(qMin<qint64>(500, deadline.remainingTime())));
        XDestroyWindow(dpy(), trial);
        XSync(dpy(), False);
    }
    return ready;
}

QStringList X11Probe::netWmState(unsigned long window) const
{
    const QByteArray data = property(dpy(), window, "_NET_WM_STATE", XA_ATOM);
    QStringList names;
    for (int i = 0; i + int(sizeof(Atom)) <= data.size(); i += int(sizeof(Atom)))
        names << text(XGetAtomName(dpy(), *reinterpret_cast<const Atom*>(data.constData() + i)));
    return names;
}

bool X11Probe::coversScreen(unsigned long window) const
{
    return isViewable(window) && geometry(window) == QRect(QPoint(0, 0), screenSize()) &&
           (selectionOwner(dpy(), "WM_S0") == None ||
            netWmState(window).contains(QLatin1String("_NET_WM_STATE_FULLSCREEN")));
}

QRect X11Probe::geometry(unsigned long window) const
{
    XWindowAttributes attrs;
    if (!window || !XGetWindowAttributes(dpy(), window, &attrs))
        return QRect();
    int x = 0, y = 0;
    Window child = 0;
    XTranslateCoordinates(dpy(), window, DefaultRootWindow(dpy()), 0, 0, &x, &y, &child);
    return QRect(x, y, attrs.width, attrs.height);
}

bool X11Probe::isViewable(unsigned long window) const
{
    XWindowAttributes attrs;
    return window && XGetWindowAttributes(dpy(), window, &attrs) && attrs.map_state == IsViewable;
}

QImage X11Probe::grab(const QRect& r) const
{
    // Off the screen XGetImage fails (the error is ignored) and returns no image.
    XImage* xi = XGetImage(dpy(), DefaultRootWindow(dpy()), r.x(), r.y(), unsigned(r.width()),
                           unsigned(r.height()), AllPlanes, ZPixmap);
    QImage out;
    // The runs use a 24-bit TrueColor screen, whose pixels are RGB32's.
    if (xi && xi->red_mask == 0xff0000 && xi->green_mask == 0xff00 && xi->blue_mask == 0xff) {
        out = QImage(r.size(), QImage::Format_RGB32);
        for (int y = 0; y < r.height(); ++y)
            for (int x = 0; x < r.width(); ++x)
                out.setPixel(x, y, QRgb(XGetPixel(xi, x, y)) | 0xff000000u);
    }
    if (xi)
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
    Window root = 0, child = 0;
    int x = -1, y = -1, wx = 0, wy = 0;
    unsigned int mask = 0;
    XQueryPointer(dpy(), DefaultRootWindow(dpy()), &root, &child, &x, &y, &wx, &wy, &mask);
    return QPoint(x, y);
}

bool X11Probe::sendDeleteWindow(unsigned long window) const
{
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = window;
    ev.xclient.message_type = atom(dpy(), "WM_PROTOCOLS");
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = long(atom(dpy(), "WM_DELETE_WINDOW"));
    ev.xclient.data.l[1] = CurrentTime;
    const Status ok = window && XSendEvent(dpy(), window, False, NoEventMask, &ev);
    XSync(dpy(), False);
    return ok != 0;
}

bool X11Probe::hasSystemTray() const
{
    const QByteArray name = "_NET_SYSTEM_TRAY_S" + QByteArray::number(DefaultScreen(dpy()));
    return selectionOwner(dpy(), name.constData()) != None;
}

unsigned long X11Probe::findDescendant(const QString& name, unsigned long parent) const
{
    for (Window child : childrenOf(dpy(), parent ? parent : DefaultRootWindow(dpy()))) {
        char* wmName = nullptr;
        XClassHint hint{};
        const bool named = XFetchName(dpy(), child, &wmName) && text(wmName) == name;
        const bool classed = XGetClassHint(dpy(), child, &hint) &&
                             text(hint.res_class).compare(name, Qt::CaseInsensitive) == 0;
        if (hint.res_name)
            XFree(hint.res_name);
        if (named || classed)
            return child;
        if (const unsigned long found = findDescendant(name, child))
            return found;
    }
    return 0;
}

bool X11Probe::click(const QPoint& at, int button) const
{
    XTestFakeMotionEvent(dpy(), -1, at.x(), at.y(), CurrentTime);
    XTestFakeButtonEvent(dpy(), unsigned(button), True, CurrentTime);
    XTestFakeButtonEvent(dpy(), unsigned(button), False, 20);
    XSync(dpy(), False);
    return true;
}

bool X11Probe::key(unsigned long keysym) const
{
    const KeyCode code = XKeysymToKeycode(dpy(), KeySym(keysym));
    if (!code)
        return false;
    XTestFakeKeyEvent(dpy(), code, True, CurrentTime);
    XTestFakeKeyEvent(dpy(), code, False, 20);
    XSync(dpy(), False);
    return true;
}

bool X11Probe::focus(unsigned long window) const
{
    if (!window)
        return false;
    XSetInputFocus(dpy(), window, RevertToPointerRoot, CurrentTime);
    Window focused = 0;
    int revert = 0;
    XGetInputFocus(dpy(), &focused, &revert);
    return focused == window;
}

QSize X11Probe::screenSize() const
{
    return geometry(DefaultRootWindow(dpy())).size();
}

QSize X11Probe::primaryCrtcSize() const
{
    const Window root = DefaultRootWindow(dpy());
    XRRScreenResources* res = XRRGetScreenResources(dpy(), root);
    XRROutputInfo* output =
        res ? XRRGetOutputInfo(dpy(), res, XRRGetOutputPrimary(dpy(), root)) : nullptr;
    XRRCrtcInfo* crtc = output && output->crtc ? XRRGetCrtcInfo(dpy(), res, output->crtc) : nullptr;
    const QSize size = crtc && crtc->mode ? QSize(int(crtc->width), int(crtc->height)) : QSize();
    if (crtc)
        XRRFreeCrtcInfo(crtc);
    if (output)
        XRRFreeOutputInfo(output);
    if (res)
        XRRFreeScreenResources(res);
    return size;
}
