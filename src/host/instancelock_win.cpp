#include "host/instancelock.h"

#include <windows.h>

namespace host
{

bool AcquireInstanceLock(const std::string&, const std::string& name)
{
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, nullptr, 0);
    if (n <= 1)
        return false;
    std::wstring wname(static_cast<size_t>(n - 1), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, &wname[0], n);
    // The handle stays open on purpose: the mutex lives as long as the process.
    HANDLE h = ::CreateMutexW(nullptr, FALSE, wname.c_str());
    if (h == nullptr)
        return false;
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        ::CloseHandle(h);
        return false;
    }
    return true;
}

} // namespace host
