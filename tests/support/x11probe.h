#pragma once
// Looks at the X server the way a user would, through a connection of its own
// (Xlib, independent of the platform the test's Qt runs on): windows by title,
// their place on the screen, the screen's pixels and the pointer.

#include <QImage>
#include <QPoint>
#include <QRect>
#include <QString>

class X11Probe
{
public:
    X11Probe(); // opens the display named by $DISPLAY
    ~X11Probe();
    X11Probe(const X11Probe&) = delete;
    X11Probe& operator=(const X11Probe&) = delete;

    bool isOpen() const { return m_display != nullptr; }
    QSize screenSize() const;

    // A window (searched from the root down) whose _NET_WM_NAME (UTF-8) or, lacking
    // that, WM_NAME equals title. Viewable windows win over unmapped ones.
    // 0 when there is none.
    unsigned long findWindow(const QString& title) const;
    QString windowTitle(unsigned long window) const;
    QRect geometry(unsigned long window) const; // in root coordinates
    bool isViewable(unsigned long window) const;

    // The root window's pixels (what is on the screen), as RGB32.
    QImage grab(const QRect& rect) const;
    QRgb pixel(int x, int y) const;

    QPoint pointer() const;
    bool warpPointer(int x, int y) const;

    // Asks the window's client to close, as a window manager's close button does.
    bool sendDeleteWindow(unsigned long window) const;

    void sync() const;

private:
    unsigned long findIn(unsigned long parent, const QString& title, int depth,
                         unsigned long* hidden) const;

    struct _XDisplay* m_display = nullptr;
};
