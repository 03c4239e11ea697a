#pragma once
// What kind of desktop session the program runs in.

namespace host
{
// A Wayland session (XDG_SESSION_TYPE=wayland, or WAYLAND_DISPLAY set): the
// program's windows go through XWayland, where a pointer warp, a display mode
// change or a synthetic key reaches no window of the desktop but XWayland's own.
// Read once, at the first call (make it before other threads start); any thread.
bool WaylandSession();
} // namespace host
