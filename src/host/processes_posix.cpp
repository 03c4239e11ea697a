#include "host/processes.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <string>
#include <strings.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace host
{
namespace
{

std::string ReadFirstLine(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string BaseName(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The kernel's short name (at most 15 characters) and, where readable, the name of
// the executable file; a process answers to either.
bool HasName(const std::string& procDir, const char* name)
{
    if (::strcasecmp(ReadFirstLine(procDir + "/comm").c_str(), name) == 0)
        return true;
    char target[4096];
    const ssize_t n = ::readlink((procDir + "/exe").c_str(), target, sizeof target - 1);
    if (n <= 0)
        return false;
    target[n] = '\0';
    std::string exe = BaseName(target);
    const std::string deleted = " (deleted)";
    if (exe.size() > deleted.size() &&
        exe.compare(exe.size() - deleted.size(), deleted.size(), deleted) == 0)
        exe.resize(exe.size() - deleted.size());
    return ::strcasecmp(exe.c_str(), name) == 0;
}

// The parent's id from /proc/<pid>/stat; the command name there is in parentheses
// and may itself hold blanks and parentheses, so the fields start after the last ')'.
unsigned long ParentOf(const std::string& procDir)
{
    const std::string stat = ReadFirstLine(procDir + "/stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos || close + 4 > stat.size())
        return 0;
    char state = 0;
    unsigned long ppid = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %c %lu", &state, &ppid) != 2)
        return 0;
    return ppid;
}

} // namespace

int GetSystemBits()
{
    utsname u{};
    if (::uname(&u) != 0)
        return sizeof(void*) * 8;
    const std::string m = u.machine;
    return (m == "x86_64" || m == "aarch64" || m == "arm64" || m == "ia64" || m == "ppc64le" ||
            m == "riscv64" || m == "s390x")
               ? 64
               : 32;
}

std::vector<unsigned long> FindProcessesByName(const char* name, const char* unlessChildOf)
{
    std::vector<unsigned long> found;
    std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
    if (!proc || !name)
        return found;
    const unsigned long self = static_cast<unsigned long>(::getpid());
    while (const dirent* entry = ::readdir(proc.get())) {
        char* end = nullptr;
        const unsigned long id = std::strtoul(entry->d_name, &end, 10);
        if (id == 0 || *end != '\0' || id == self)
            continue;
        const std::string dir = std::string("/proc/") + entry->d_name;
        if (!HasName(dir, name))
            continue;
        if (unlessChildOf) {
            const unsigned long parent = ParentOf(dir);
            if (parent > 1 && HasName("/proc/" + std::to_string(parent), unlessChildOf))
                continue;
        }
        found.push_back(id);
    }
    return found;
}

bool KillProcess(unsigned long pid)
{
    if (pid == 0 || pid > static_cast<unsigned long>(INT32_MAX))
        return false;
    return ::kill(static_cast<pid_t>(pid), SIGKILL) == 0;
}

} // namespace host
