#include "host/memory.h"

// __GLIBC__ comes from the C library's own headers: without one of them included first,
// the test below is false even on glibc and the trim silently never happens.
#include <cstdlib>

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
