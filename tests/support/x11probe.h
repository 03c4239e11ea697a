#pragma once
// Looks at the X server ($DISPLAY) as a user would, through an Xlib connection of
// its own, independent of the platform the test's Qt runs on.

#include <QImage>
#include <QList>
#include <QRect>
#include <QSize>
#include <QStringList>
#include <memory>

class X11Probe
{
public:
    X11Probe();
    bool isOpen() const { return m_display != nullptr; }
    // A client's top-level window whose _NET_WM_NAME is title (a child of the root,
    // or inside a window manager's frame), a viewable one first; 0 when none is.
    unsigned long findWindow(const QString& title) const;
    QList<unsigned long> viewableWindows(const QString& title) const; // all of them
    // Under scripts/with-wm: waits until JW_WINDOW_MANAGER and JW_COMPOSITOR hold the screen.
    bool waitForDesktop(int timeoutMs = 10000) const;
    QStringList netWmState(unsigned long window) const; // e.g. "_NET_WM_STATE_FULLSCREEN"
    // Viewable over the whole screen and, under a window manager, in its full-screen
    // state (a window merely as large as the screen keeps its frame, below panels).
    bool coversScreen(unsigned long window) const;
    QRect geometry(unsigned long window) const; // in root coordinates
    bool isViewable(unsigned long window) const;
    QImage grab(const QRect& rect) const; // the root window's pixels, as RGB32
    QRgb pixel(int x, int y) const;
    QPoint pointer() const;
    // The first window at any depth below parent (0: the root) named or classed `name`.
    unsigned long findDescendant(const QString& name, unsigned long parent = 0) const;
    // A real click of `button` (1 left, 3 right) at a root position; a real key press
    // and release (XK_Return, ...).
    bool click(const QPoint& at, int button = 1) const;
    bool key(unsigned long keysym) const;
    // Gives the window the focus; true once it has it (a manager may move it: ask again).
    bool focus(unsigned long window) const;
    // Asked now: the root window's size; the primary output's CRTC's (invalid: none).
    QSize screenSize() const;
    QSize primaryCrtcSize() const;
    // Asks the window's client to close, as a window manager's close button does.
    bool sendDeleteWindow(unsigned long window) const;
    // A tray host (a panel's notification area) holds the screen's tray selection.
    bool hasSystemTray() const;

private:
    QList<unsigned long> windowsNamed(const QString& title) const;
    struct _XDisplay* dpy() const { return m_display.get(); }
    std::unique_ptr<struct _XDisplay, int (*)(struct _XDisplay*)> m_display;
};
