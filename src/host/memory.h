#pragma once
// Hands memory the program has freed back to the system where the allocator keeps
// it for reuse (glibc keeps the freed pages of large, short-lived drawings).

namespace host
{
void ReleaseFreeMemory();
} // namespace host
