#include "host/instancelock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace host
{

bool AcquireInstanceLock(const std::string& folder, const std::string& name)
{
    if (name.empty() || name.find('/') != std::string::npos)
        return false;
    const std::string path = (folder.empty() ? std::string(".") : folder) + "/" + name;
    // Close-on-exec: a child (the companion) must not inherit the lock and keep it
    // after this process has gone.
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        ::close(fd);
        return false;
    }
    // The descriptor stays open on purpose: the lock lives as long as the process.
    return true;
}

} // namespace host
