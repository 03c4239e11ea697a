#include "host/memory.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace host
{

void ReleaseFreeMemory()
{
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

} // namespace host
