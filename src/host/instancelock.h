#pragma once
// A system-wide named lock that tells a second copy of the program apart from the
// first. It is held until the process ends; the operating system releases it when
// the process dies, however it dies.

#include <string>

namespace host
{
// Takes the lock `name` (a plain file name, no separators). On POSIX it is a file
// of that name in `folder`, locked with flock; on Windows a named mutex and
// `folder` is not used. False when another process holds the lock or the lock
// cannot be made.
bool AcquireInstanceLock(const std::string& folder, const std::string& name);
} // namespace host
