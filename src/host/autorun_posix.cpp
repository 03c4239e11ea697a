#include "host/autorun.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

// An XDG autostart entry: ${XDG_CONFIG_HOME:-$HOME/.config}/autostart/TOVANEL.desktop.
// "Exec=" holds the text; a switched-off entry also says Hidden=true so that the
// session does not try to run a blank command.
namespace host
{
namespace
{

bool MakeDirs(const std::string& path)
{
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/')
            continue;
        const std::string part = path.substr(0, pos);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

std::string ConfigHome()
{
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/')
        return xdg;
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "") + "/.config";
}

} // namespace

std::string AutorunEntryLocation()
{
    return ConfigHome() + "/autostart/TOVANEL.desktop";
}

std::string ReadAutorunEntry()
{
    std::ifstream in(AutorunEntryLocation());
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.compare(0, 5, "Exec=") == 0)
            return line.substr(5);
    }
    return std::string();
}

bool WriteAutorunEntry(const std::string& text)
{
    const std::string path = AutorunEntryLocation();
    if (!MakeDirs(path.substr(0, path.rfind('/'))))
        return false;
    const bool on = text.find_first_not_of(' ') != std::string::npos;
    std::ostringstream entry;
    entry << "[Desktop Entry]\n"
          << "Type=Application\n"
          << "Name=TOVANEL\n"
          << "Exec=" << text << "\n";
    if (!on)
        entry << "Hidden=true\n";
    // Written aside and renamed, so that a crash never leaves half an entry.
    const std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::trunc);
        out << entry.str();
        out.flush();
        if (!out)
            return false;
    }
    return std::rename(temp.c_str(), path.c_str()) == 0;
}

} // namespace host
