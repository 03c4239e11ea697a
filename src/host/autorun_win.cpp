#include "host/autorun.h"
#include "host/wintext_win.h"

#include <windows.h>

#include <string>

// The registry value "TOVANEL" (REG_SZ) under HKCU\...\CurrentVersion\Run.
namespace host
{
namespace
{

const wchar_t kRunKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t kValue[] = L"TOVANEL";

} // namespace

std::string AutorunEntryLocation()
{
    return "HKEY_CURRENT_USER\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run\\TOVANEL";
}

std::string ReadAutorunEntry()
{
    DWORD bytes = 0;
    if (RegGetValueW(HKEY_CURRENT_USER, kRunKey, kValue, RRF_RT_REG_SZ, nullptr, nullptr, &bytes) !=
            ERROR_SUCCESS ||
        bytes == 0)
        return std::string();
    std::wstring text(bytes / sizeof(wchar_t), L'\0');
    if (RegGetValueW(HKEY_CURRENT_USER, kRunKey, kValue, RRF_RT_REG_SZ, nullptr, &text[0],
                     &bytes) != ERROR_SUCCESS)
        return std::string();
    text.resize(wcsnlen(text.c_str(), text.size()));
    return Utf8(text);
}

bool WriteAutorunEntry(const std::string& text)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kRunKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return false;
    const std::wstring value = Wide(text);
    const LONG rc =
        RegSetValueExW(key, kValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

std::string AutorunProgram(const std::string& program, const std::string&)
{
    return program; // installed or not, the program is started from where it is
}

} // namespace host
