#pragma once
// Moves the system pointer. Callable from any thread; with no X display (or on
// the offscreen platform) it does nothing and returns false.

namespace host
{
bool SetCursorPos(int x, int y);
}
