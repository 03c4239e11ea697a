#include "host/datafolder.h"

#include <shlobj.h>
#include <windows.h>

namespace host
{
namespace
{

std::string ToUtf8(const wchar_t* w)
{
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1)
        return std::string();
    std::string out(static_cast<size_t>(n - 1), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, w, -1, &out[0], n, nullptr, nullptr);
    return out;
}

} // namespace

std::string DefaultDataFolder()
{
    wchar_t buf[MAX_PATH] = {0};
    std::string base;
    if (::SHGetSpecialFolderPathW(nullptr, buf, CSIDL_COMMON_APPDATA, FALSE))
        base = ToUtf8(buf);
    return base + "\\JWShow";
}

} // namespace host
