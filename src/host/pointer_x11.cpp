#include "host/pointer.h"
#include "host/x11env.h"

#include <X11/Xlib.h>

#include <mutex>

// The pointer is moved from the dispatcher thread, so it cannot borrow the
// toolkit's connection. It keeps one of its own, used only here and only under
// the mutex, which is why Xlib's own thread support is not needed.
namespace
{

std::mutex g_pointerMutex;
Display* g_pointerDisplay = nullptr;
bool g_pointerTried = false;

} // namespace

namespace host
{

bool SetCursorPos(int x, int y)
{
    std::lock_guard<std::mutex> lock(g_pointerMutex);
    if (!g_pointerTried) {
        // Opened once: a missing display stays missing for the life of the
        // process, and retrying every move would stall the dispatcher.
        g_pointerTried = true;
        if (detail::X11DisplayAvailable())
            g_pointerDisplay = XOpenDisplay(nullptr);
    }
    if (!g_pointerDisplay)
        return false;
    const Window root = DefaultRootWindow(g_pointerDisplay);
    XWarpPointer(g_pointerDisplay, None, root, 0, 0, 0, 0, x, y);
    XFlush(g_pointerDisplay);
    return true;
}

} // namespace host
