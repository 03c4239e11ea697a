#pragma once
// The mode of the primary display: recorded when the main window is created,
// changed on a controller's request and put back when the last controller
// leaves or the program quits. GUI thread only.
//
// Without a display (no DISPLAY, or the offscreen platform) the recorded size is
// 0x0 and no mode ever changes: a request larger than 0x0 in both dimensions is
// ignored like any such request, anything else is refused.
//
// The rules (the size test, the changed state) live once in display.cpp; each
// platform supplies the two primitives at the end of this header.

namespace host
{

// Records the primary screen's current size (g_screenWidth, g_screenHeight).
void SaveDisplayResolution();
// 0 when the mode is now width x height, or when the request was larger than the
// recorded size in both dimensions and was ignored; -1 when the display refused
// it, in which case the display keeps (or is put back to) its previous mode.
int SetDisplayResolution(unsigned long width, unsigned long height);
// Back to the recorded size; a failure keeps the changed state so that a later
// trigger tries again. Always 0.
int RestoreDisplayResolution();
// A mode set by SetDisplayResolution is in force.
bool IsResolutionChanged();

// The recorded size.
unsigned long SavedScreenWidth();
unsigned long SavedScreenHeight();

// --- platform primitives (display_x11.cpp, display_win.cpp) ---------------------------

// The primary screen's size now (GetSystemMetrics SM_CXSCREEN / SM_CYSCREEN; on X11
// the primary output's CRTC). False, and 0x0, without a display.
bool PrimaryScreenSize(unsigned long& width, unsigned long& height);

namespace detail
{
// Puts the primary display into a width x height mode (ChangeDisplaySettingsW; on
// X11 an exact mode of the primary output through XRandR). On failure the display
// is left in, or put back to, its previous mode. No size test, no bookkeeping:
// callers go through SetDisplayResolution / RestoreDisplayResolution.
bool ChangeDisplayMode(unsigned long width, unsigned long height);
} // namespace detail

} // namespace host
