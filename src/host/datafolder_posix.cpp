#include "host/datafolder.h"

#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace host
{
namespace
{

bool IsWritableDir(const std::string& path)
{
    struct stat st {
    };
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           ::access(path.c_str(), W_OK | X_OK) == 0;
}

std::string HomeFolder()
{
    const char* home = std::getenv("HOME");
    if (home && *home)
        return home;
    if (const passwd* pw = ::getpwuid(::getuid()))
        return pw->pw_dir ? pw->pw_dir : "";
    return "";
}

} // namespace

std::string DefaultDataFolder()
{
    // The machine-wide folder is only usable by whoever may write there (usually
    // root); everybody else falls back to a folder of their own so that the
    // settings can still be saved.
    const std::string common = "/var/lib/JWShow";
    struct stat st {
    };
    if (::stat(common.c_str(), &st) == 0) {
        if (IsWritableDir(common))
            return common;
    } else if (IsWritableDir("/var/lib")) {
        return common;
    }

    std::string userData;
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && *xdg == '/')
        userData = xdg;
    else
        userData = HomeFolder() + "/.local/share";
    return userData + "/JWShow";
}

} // namespace host
