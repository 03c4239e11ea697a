#include "host/pointer.h"

#include <X11/Xlib.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

// The pointer is moved from the dispatcher thread, so it cannot borrow the
// toolkit's connection. It keeps one of its own, used only here and only under
// the mutex, which is why Xlib's own thread support is not needed.
namespace
{

std::mutex g_pointerMutex;
Display* g_pointerDisplay = nullptr;
bool g_pointerTried = false;

bool displayAvailable()
{
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && std::strncmp(platform, "offscreen", 9) == 0)
        return false;
    const char* display = std::getenv("DISPLAY");
    return display && *display;
}

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
        if (displayAvailable())
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
