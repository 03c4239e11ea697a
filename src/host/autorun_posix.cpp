#include "host/autorun.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
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

// Exec is a command line, not a path: the session splits it at blanks and gives
// quotes, '$', '%' and backslashes their meaning, so a program in "/home/a b/"
// would start "/home/a" and a path with a line break could add keys of its own.
// A path with any such character becomes one quoted argument; then come the
// escapes every value of a desktop entry has, and '%' (a field code) is doubled.
// False for a control character that no value can hold.
bool ExecValue(const std::string& program, std::string& value)
{
    static const char kReserved[] = " \t\n\"'\\><~|&;$*?#()`";
    std::string arg = program;
    if (program.find_first_of(kReserved) != std::string::npos) {
        arg = "\"";
        for (const char c : program) {
            if (c == '"' || c == '`' || c == '$' || c == '\\')
                arg += '\\';
            arg += c;
        }
        arg += '"';
    }
    value.clear();
    for (const char c : arg) {
        switch (c) {
        case '\\':
            value += "\\\\";
            break;
        case '\n':
            value += "\\n";
            break;
        case '\t':
            value += "\\t";
            break;
        case '\r':
            value += "\\r";
            break;
        case '%':
            value += "%%";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
                return false;
            value += c;
        }
    }
    return true;
}

// The program an Exec value names, undoing what ExecValue does; a command line of
// more than one argument (an entry edited by hand) comes back as its text.
std::string ProgramOf(const std::string& value)
{
    std::string text;
    for (size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c == '%' && i + 1 < value.size() && value[i + 1] == '%') {
            text += '%';
            ++i;
        } else if (c == '\\' && i + 1 < value.size()) {
            const char e = value[++i];
            text += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e == 's' ? ' ' : e;
        } else {
            text += c;
        }
    }
    if (text.size() < 2 || text.front() != '"')
        return text;
    std::string program;
    for (size_t i = 1; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\' && i + 1 < text.size()) {
            program += text[++i];
        } else if (c == '"') {
            return i + 1 == text.size() ? program : text;
        } else {
            program += c;
        }
    }
    return text; // never closed
}

std::string RealPath(const std::string& path)
{
    const std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr),
                                                           &std::free);
    return real ? std::string(real.get()) : std::string();
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
            return ProgramOf(line.substr(5));
    }
    return std::string();
}

bool WriteAutorunEntry(const std::string& text)
{
    const std::string path = AutorunEntryLocation();
    const bool on = text.find_first_not_of(' ') != std::string::npos;
    std::string exec = text; // off: the blank as it is
    if (on && !ExecValue(text, exec))
        return false;
    if (!MakeDirs(path.substr(0, path.rfind('/'))))
        return false;
    std::ostringstream entry;
    entry << "[Desktop Entry]\n"
          << "Type=Application\n"
          << "Name=TOVANEL\n"
          << "Exec=" << exec << "\n";
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

std::string AutorunProgram(const std::string& program, const std::string& launcher)
{
    const std::string real = RealPath(program);
    return !real.empty() && RealPath(launcher) == real ? launcher : program;
}

} // namespace host
