#include "host/compositor.h"

namespace host
{

// Desktop composition is always on from Windows 8 on.
bool CompositorRunning()
{
    return true;
}

} // namespace host
