#include "host/processes.h"

#include <windows.h>

#include <tlhelp32.h>

#include <cstring>
#include <string>

namespace host
{
namespace
{

using GetNativeSystemInfoFn = void(WINAPI*)(LPSYSTEM_INFO);

// The executable name in the thread's ANSI code page, as the comparison wants it.
std::string AnsiName(const wchar_t* wide)
{
    const int n = WideCharToMultiByte(CP_THREAD_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_THREAD_ACP, 0, wide, -1, &out[0], n, nullptr, nullptr);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

struct Snapshot {
    HANDLE handle = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    ~Snapshot()
    {
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    }
    Snapshot() = default;
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;
};

// The executable name of the process `pid` in the snapshot, or "".
std::string NameOf(const Snapshot& snap, DWORD pid)
{
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    if (!Process32FirstW(snap.handle, &entry))
        return std::string();
    do {
        if (entry.th32ProcessID == pid)
            return AnsiName(entry.szExeFile);
    } while (Process32NextW(snap.handle, &entry));
    return std::string();
}

} // namespace

int GetSystemBits()
{
    SYSTEM_INFO info{};
    const HMODULE kernel = GetModuleHandleW(L"kernel32");
    const auto native = kernel ? reinterpret_cast<GetNativeSystemInfoFn>(reinterpret_cast<void*>(
                                     GetProcAddress(kernel, "GetNativeSystemInfo")))
                               : nullptr;
    if (native)
        native(&info);
    else
        GetSystemInfo(&info);
    const WORD arch = info.wProcessorArchitecture;
    return (arch == PROCESSOR_ARCHITECTURE_AMD64 || arch == PROCESSOR_ARCHITECTURE_IA64) ? 64 : 32;
}

std::vector<unsigned long> FindProcessesByName(const char* name, const char* unlessChildOf)
{
    std::vector<unsigned long> found;
    Snapshot snap;
    if (snap.handle == INVALID_HANDLE_VALUE || !name)
        return found;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    if (!Process32FirstW(snap.handle, &entry))
        return found;
    do {
        if (_stricmp(AnsiName(entry.szExeFile).c_str(), name) != 0)
            continue;
        if (unlessChildOf && entry.th32ParentProcessID != 0) {
            Snapshot parents;
            if (parents.handle != INVALID_HANDLE_VALUE &&
                _stricmp(NameOf(parents, entry.th32ParentProcessID).c_str(), unlessChildOf) == 0)
                continue;
        }
        found.push_back(entry.th32ProcessID);
    } while (Process32NextW(snap.handle, &entry));
    return found;
}

bool KillProcess(unsigned long pid)
{
    const HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid));
    if (!process)
        return false;
    const bool ok = TerminateProcess(process, 1) != 0;
    CloseHandle(process);
    return ok;
}

} // namespace host
