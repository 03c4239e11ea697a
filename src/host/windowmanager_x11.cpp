#include "host/windowmanager.h"
#include "host/x11env.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace
{
// Only the GUI thread asks; a connection of its own keeps Xlib out of the
// toolkit's. Opened once: a missing display stays missing.
Display* display()
{
    static Display* const dpy =
        host::detail::X11DisplayAvailable() ? XOpenDisplay(nullptr) : nullptr;
    return dpy;
}
} // namespace

namespace host
{

// A window manager marks the windows it manages with WM_STATE and removes it (or
// sets it to Withdrawn) once it has let go of one (ICCCM 4.1.3.1, 4.1.4).
bool WindowHeldByManager(unsigned long window)
{
    Display* dpy = display();
    if (!dpy || !window)
        return false;
    const Atom wmState = XInternAtom(dpy, "WM_STATE", False);
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    const int status = XGetWindowProperty(dpy, Window(window), wmState, 0, 2, False, wmState, &type,
                                          &format, &count, &after, &data);
    bool held = false;
    if (status == Success && data && format == 32 && count >= 1) {
        constexpr long kWithdrawn = 0;
        held = reinterpret_cast<const long*>(data)[0] != kWithdrawn;
    }
    if (data)
        XFree(data);
    return held;
}

} // namespace host
