#pragma once
// What the desktop's window manager does with one of our top-level windows.

namespace host
{
// Whether the window manager still holds the window (native id, an X window on
// X11): after the window was hidden, until the manager has taken it out of its
// frame. A window mapped again before that may be mapped inside the old frame
// and then lose what it asked for (full screen, on top) when the manager lets go
// of it. False where no window manager runs, and for a window it never managed.
bool WindowHeldByManager(unsigned long window);
} // namespace host
