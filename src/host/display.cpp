#include "host/display.h"

// The platform-neutral half of the display mode: what is recorded, when a
// request is ignored, and when the mode counts as changed.
namespace
{

unsigned long g_screenWidth = 0;
unsigned long g_screenHeight = 0;
bool g_resolutionChanged = false;
std::string g_output; // empty: the primary

} // namespace

namespace host
{

void SaveDisplayResolution()
{
    OutputSize(g_output, g_screenWidth, g_screenHeight);
}

void SelectDisplayOutput(const std::string& output)
{
    if (output == g_output)
        return;
    // What was changed on the output left behind goes back while it is still ours
    // to restore; one that is gone (unplugged) has nothing to restore.
    if (g_resolutionChanged)
        RestoreDisplayResolution();
    g_resolutionChanged = false;
    g_output = output;
    SaveDisplayResolution();
}

const std::string& SelectedDisplayOutput()
{
    return g_output;
}

int SetDisplayResolution(unsigned long width, unsigned long height)
{
    // Larger than the recorded screen in both dimensions: ignored. Larger in one
    // dimension only is attempted.
    if (width > g_screenWidth && height > g_screenHeight)
        return 0;
    if (!detail::ChangeDisplayMode(g_output, width, height))
        return -1;
    g_resolutionChanged = true;
    return 0;
}

int RestoreDisplayResolution()
{
    if (detail::ChangeDisplayMode(g_output, g_screenWidth, g_screenHeight))
        g_resolutionChanged = false;
    return 0;
}

bool IsResolutionChanged()
{
    return g_resolutionChanged;
}

unsigned long SavedScreenWidth()
{
    return g_screenWidth;
}

unsigned long SavedScreenHeight()
{
    return g_screenHeight;
}

} // namespace host
