#include "host/pointer.h"

// placeholder until the pointer lands
namespace host {
bool SetCursorPos(int, int) { return false; }
}
