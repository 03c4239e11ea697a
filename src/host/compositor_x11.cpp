#include "host/compositor.h"

#include <X11/Xlib.h>

#include <cstdlib>
#include <string>

namespace host
{

// A compositing manager owns the selection _NET_WM_CM_S<screen>.
bool CompositorRunning()
{
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display)
        return false;
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy)
        return false;
    const std::string name = "_NET_WM_CM_S" + std::to_string(DefaultScreen(dpy));
    const Atom selection = XInternAtom(dpy, name.c_str(), False);
    const bool owned = XGetSelectionOwner(dpy, selection) != None;
    XCloseDisplay(dpy);
    return owned;
}

} // namespace host
