#include "host/pointer.h"
#include "host/x11env.h"

#include <X11/Xlib.h>

#include <memory>
#include <mutex>

// The pointer is moved from the dispatcher thread, so it cannot borrow the
// toolkit's connection. It keeps one of its own, used only here and only under
// the mutex, which is why Xlib's own thread support is not needed.
namespace host
{

struct Pointer::Connection {
    std::mutex lock;
    std::unique_ptr<detail::XConnection> xconn; // opened at the first move
};

Pointer::Pointer() : c_(std::make_unique<Connection>()) {}
Pointer::~Pointer() = default;

bool Pointer::SetCursorPos(int x, int y)
{
    std::lock_guard<std::mutex> lock(c_->lock);
    // Opened once: a missing display stays missing for the life of the object,
    // and retrying every move would stall the dispatcher.
    if (!c_->xconn)
        c_->xconn = std::make_unique<detail::XConnection>();
    Display* const dpy = c_->xconn->dpy;
    if (!dpy)
        return false;
    XWarpPointer(dpy, None, DefaultRootWindow(dpy), 0, 0, 0, 0, x, y);
    XFlush(dpy);
    return true;
}

} // namespace host
