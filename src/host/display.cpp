#include "host/display.h"

// The platform-neutral half of the display mode: what is recorded, when a
// request is ignored, and when the mode counts as changed.
namespace
{

unsigned long g_screenWidth = 0;
unsigned long g_screenHeight = 0;
bool g_resolutionChanged = false;

} // namespace

namespace host
{

void SaveDisplayResolution()
{
    PrimaryScreenSize(g_screenWidth, g_screenHeight);
}

int SetDisplayResolution(unsigned long width, unsigned long height)
{
    // Larger than the recorded screen in both dimensions: ignored. Larger in one
    // dimension only is attempted.
    if (width > g_screenWidth && height > g_screenHeight)
        return 0;
    if (!detail::ChangeDisplayMode(width, height))
        return -1;
    g_resolutionChanged = true;
    return 0;
}

int RestoreDisplayResolution()
{
    if (detail::ChangeDisplayMode(g_screenWidth, g_screenHeight))
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
