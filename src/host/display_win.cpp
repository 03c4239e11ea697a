#include "host/display.h"
#include "host/wintext_win.h"

#include <windows.h>

// An output is a display device ("\\.\DISPLAY2", the name Qt gives its screen);
// none named is the primary display.
namespace host
{

bool OutputSize(const std::string& output, unsigned long& width, unsigned long& height)
{
    width = height = 0;
    if (output.empty()) {
        const int w = ::GetSystemMetrics(SM_CXSCREEN);
        const int h = ::GetSystemMetrics(SM_CYSCREEN);
        width = w > 0 ? static_cast<unsigned long>(w) : 0;
        height = h > 0 ? static_cast<unsigned long>(h) : 0;
        return w > 0 && h > 0;
    }
    DEVMODEW mode;
    ZeroMemory(&mode, sizeof(mode));
    mode.dmSize = sizeof(DEVMODEW);
    const std::wstring device = Wide(output);
    if (!::EnumDisplaySettingsW(device.c_str(), ENUM_CURRENT_SETTINGS, &mode))
        return false;
    width = mode.dmPelsWidth;
    height = mode.dmPelsHeight;
    return width > 0 && height > 0;
}

namespace detail
{

bool ChangeDisplayMode(const std::string& output, unsigned long width, unsigned long height)
{
    const std::wstring name = Wide(output);
    const wchar_t* const device = output.empty() ? nullptr : name.c_str();
    DEVMODEW mode;
    ZeroMemory(&mode, sizeof(mode));
    mode.dmSize = sizeof(DEVMODEW);
    mode.dmFields = DM_PELSWIDTH | DM_PELSHEIGHT;
    mode.dmPelsWidth = static_cast<DWORD>(width);
    mode.dmPelsHeight = static_cast<DWORD>(height);
    mode.dmBitsPerPel = 32; // filled in, though dmFields does not name it
    if (::ChangeDisplaySettingsExW(device, &mode, nullptr, 0, nullptr) == DISP_CHANGE_SUCCESSFUL) {
        ::ChangeDisplaySettingsExW(device, &mode, nullptr, CDS_UPDATEREGISTRY, nullptr);
        return true;
    }
    // Back to the mode in the registry.
    ::ChangeDisplaySettingsExW(device, nullptr, nullptr, 0, nullptr);
    return false;
}

} // namespace detail
} // namespace host
