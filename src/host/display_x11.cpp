#include "host/display.h"

// Placeholder until the XRandR implementation lands.
namespace host
{
void SaveDisplayResolution() {}
int SetDisplayResolution(unsigned long, unsigned long)
{
    return -1;
}
int RestoreDisplayResolution()
{
    return 0;
}
bool IsResolutionChanged()
{
    return false;
}
unsigned long SavedScreenWidth()
{
    return 0;
}
unsigned long SavedScreenHeight()
{
    return 0;
}
} // namespace host
