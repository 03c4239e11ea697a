#include "host/display.h"

// The platform-neutral half of the display mode: what is recorded, when a
// request is ignored, and when the mode counts as changed.
namespace host
{

void DisplayMode::SaveDisplayResolution()
{
    OutputSize(output_, width_, height_);
}

void DisplayMode::SelectDisplayOutput(const std::string& output)
{
    if (output == output_)
        return;
    // What was changed on the output left behind goes back while it is still ours
    // to restore; one that is gone (unplugged) has nothing to restore.
    if (changed_)
        RestoreDisplayResolution();
    changed_ = false;
    output_ = output;
    SaveDisplayResolution();
}

int DisplayMode::SetDisplayResolution(unsigned long width, unsigned long height)
{
    // Larger than the recorded screen in both dimensions: ignored. Larger in one
    // dimension only is attempted.
    if (width > width_ && height > height_)
        return 0;
    if (!detail::ChangeDisplayMode(output_, width, height))
        return -1;
    changed_ = true;
    return 0;
}

int DisplayMode::RestoreDisplayResolution()
{
    if (detail::ChangeDisplayMode(output_, width_, height_))
        changed_ = false;
    return 0;
}

} // namespace host
