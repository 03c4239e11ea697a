#include "host/session.h"

#include <cstdlib>
#include <cstring>

namespace host
{

bool WaylandSession()
{
    static const bool wayland = [] {
        const char* type = std::getenv("XDG_SESSION_TYPE");
        const char* display = std::getenv("WAYLAND_DISPLAY");
        return (type && std::strcmp(type, "wayland") == 0) || (display && *display);
    }();
    return wayland;
}

} // namespace host
