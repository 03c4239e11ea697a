#pragma once
// Whether the X11 host functions may reach an X server at all: not on the
// offscreen platform (the tests' and the display-less runs'), and only with a
// DISPLAY to connect to.

#include <X11/Xlib.h>

#include <cstdlib>
#include <cstring>

namespace host::detail
{

inline bool X11DisplayAvailable()
{
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && std::strncmp(platform, "offscreen", 9) == 0)
        return false;
    const char* display = std::getenv("DISPLAY");
    return display && *display;
}

// A connection of our own to the X server while the object lives (none where no X
// server may be reached).
struct XConnection {
    Display* dpy = X11DisplayAvailable() ? XOpenDisplay(nullptr) : nullptr;
    XConnection() = default;
    XConnection(const XConnection&) = delete;
    XConnection& operator=(const XConnection&) = delete;
    ~XConnection()
    {
        if (dpy)
            XCloseDisplay(dpy);
    }
};

} // namespace host::detail
