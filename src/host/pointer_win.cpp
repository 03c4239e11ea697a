#include "host/pointer.h"

#include <windows.h>

namespace host
{

bool SetCursorPos(int x, int y)
{
    return ::SetCursorPos(x, y) != FALSE;
}

} // namespace host
