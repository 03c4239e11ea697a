#pragma once
// The mode of the show screen's display (the primary one unless an output is
// chosen): recorded at start, changed on a controller's request and put back
// when the last controller leaves or the program quits. One DisplayMode object,
// owned by whoever runs the program; GUI thread only.

#include <string>
//
// Without a display (no DISPLAY, or the offscreen platform) the recorded size is
// 0x0 and no mode ever changes: a request larger than 0x0 in both dimensions is
// ignored like any such request, anything else is refused.
//
// The rules (the size test, the changed state) live once in display.cpp; each
// platform supplies the two primitives at the end of this header.

namespace host
{

class DisplayMode
{
public:
    // Records the chosen output's current size.
    void SaveDisplayResolution();
    // The output that the mode changes act on, by the name the system gives it (an
    // XRandR output such as "HDMI-1"; a display device such as "\\.\DISPLAY2");
    // empty: the primary. A different output puts a mode changed on the one before
    // back first, then records the new one's size.
    void SelectDisplayOutput(const std::string& output);
    const std::string& SelectedDisplayOutput() const { return output_; }
    // 0 when the mode is now width x height, or when the request was larger than
    // the recorded size in both dimensions and was ignored; -1 when the display
    // refused it, in which case the display keeps (or is put back to) its previous
    // mode.
    int SetDisplayResolution(unsigned long width, unsigned long height);
    // Back to the recorded size; a failure keeps the changed state so that a later
    // trigger tries again. Always 0.
    int RestoreDisplayResolution();
    // A mode set by SetDisplayResolution is in force.
    bool IsResolutionChanged() const { return changed_; }

    // The recorded size.
    unsigned long SavedScreenWidth() const { return width_; }
    unsigned long SavedScreenHeight() const { return height_; }

private:
    unsigned long width_ = 0;
    unsigned long height_ = 0;
    bool changed_ = false;
    std::string output_; // empty: the primary
};

// --- platform primitives (display_x11.cpp, display_win.cpp) ---------------------------

// The output's size now, the primary one for an empty name (GetSystemMetrics
// SM_CXSCREEN / SM_CYSCREEN, EnumDisplaySettingsW of the device; on X11 the
// output's CRTC). False, and 0x0, without a display or without that output.
bool OutputSize(const std::string& output, unsigned long& width, unsigned long& height);

namespace detail
{
// Puts the output (empty: the primary) into a width x height mode
// (ChangeDisplaySettingsExW; on X11 an exact mode of the output through XRandR,
// on the CRTC that drives it). An output that is not connected is refused. On
// failure the display is left in, or put back to, its previous mode. No size
// test, no bookkeeping: callers go through SetDisplayResolution /
// RestoreDisplayResolution.
bool ChangeDisplayMode(const std::string& output, unsigned long width, unsigned long height);
// The primary output's.
inline bool ChangeDisplayMode(unsigned long width, unsigned long height)
{
    return ChangeDisplayMode(std::string(), width, height);
}
} // namespace detail

} // namespace host
