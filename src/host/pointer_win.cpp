#include "host/pointer.h"

#include <windows.h>

namespace host
{

struct Pointer::Connection {
};

Pointer::Pointer() : c_(std::make_unique<Connection>()) {}
Pointer::~Pointer() = default;

bool Pointer::SetCursorPos(int x, int y)
{
    return ::SetCursorPos(x, y) != FALSE;
}

} // namespace host
