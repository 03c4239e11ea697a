#include "host/session.h"

namespace host
{

// Windows has one kind of session: the pointer, the keys and the display modes
// reach the desktop.
bool WaylandSession()
{
    return false;
}

} // namespace host
