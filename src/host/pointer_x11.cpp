#include "host/pointer.h"
#include "host/x11env.h"

#include <X11/Xlib.h>

#include <mutex>

// The pointer is moved from the dispatcher thread, so it cannot borrow the
// toolkit's connection. It keeps one of its own, used only here and only under
// the mutex, which is why Xlib's own thread support is not needed.
namespace host
{

struct Pointer::Connection {
    std::mutex lock;
    Display* dpy = nullptr;
    bool tried = false;
    ~Connection()
    {
        if (dpy)
            XCloseDisplay(dpy);
    }
};

Pointer::Pointer() : c_(std::make_unique<Connection>()) {}
Pointer::~Pointer() = default;

bool Pointer::SetCursorPos(int x, int y)
{
    std::lock_guard<std::mutex> lock(c_->lock);
    if (!c_->tried) {
        // Opened once: a missing display stays missing for the life of the
        // object, and retrying every move would stall the dispatcher.
        c_->tried = true;
        if (detail::X11DisplayAvailable())
            c_->dpy = XOpenDisplay(nullptr);
    }
    if (!c_->dpy)
        return false;
    const Window root = DefaultRootWindow(c_->dpy);
    XWarpPointer(c_->dpy, None, root, 0, 0, 0, 0, x, y);
    XFlush(c_->dpy);
    return true;
}

} // namespace host
