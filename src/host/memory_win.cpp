#include "host/memory.h"

namespace host
{

// The Windows heap returns large free blocks by itself.
void ReleaseFreeMemory() {}

} // namespace host
