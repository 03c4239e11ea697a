#pragma once
// The mode of the primary display: recorded when the main window is created,
// changed on a controller's request and put back when the last controller
// leaves or the program quits. GUI thread only. Without a display (or on the
// offscreen platform) nothing changes and every call reports failure.

namespace host
{

// Records the primary screen's current size (g_screenWidth, g_screenHeight).
void SaveDisplayResolution();
// 0 when the mode is now width x height (or the request was larger than the
// recorded size in both dimensions and was ignored); -1 when the display refused
// it, in which case the display is put back to its previous mode.
int SetDisplayResolution(unsigned long width, unsigned long height);
// Back to the recorded size; a failure keeps the changed state so that a later
// trigger tries again. Always 0.
int RestoreDisplayResolution();
// A mode set by SetDisplayResolution is in force.
bool IsResolutionChanged();

// The recorded size.
unsigned long SavedScreenWidth();
unsigned long SavedScreenHeight();

} // namespace host
