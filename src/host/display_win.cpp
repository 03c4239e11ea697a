#include "host/display.h"

#include <windows.h>

namespace host
{

bool PrimaryScreenSize(unsigned long& width, unsigned long& height)
{
    const int w = ::GetSystemMetrics(SM_CXSCREEN);
    const int h = ::GetSystemMetrics(SM_CYSCREEN);
    width = w > 0 ? static_cast<unsigned long>(w) : 0;
    height = h > 0 ? static_cast<unsigned long>(h) : 0;
    return w > 0 && h > 0;
}

namespace detail
{

bool ChangeDisplayMode(unsigned long width, unsigned long height)
{
    DEVMODEW mode;
    ZeroMemory(&mode, sizeof(mode));
    mode.dmSize = sizeof(DEVMODEW);
    mode.dmFields = DM_PELSWIDTH | DM_PELSHEIGHT;
    mode.dmPelsWidth = static_cast<DWORD>(width);
    mode.dmPelsHeight = static_cast<DWORD>(height);
    mode.dmBitsPerPel = 32; // filled in, though dmFields does not name it
    if (::ChangeDisplaySettingsW(&mode, 0) == DISP_CHANGE_SUCCESSFUL) {
        ::ChangeDisplaySettingsW(&mode, CDS_UPDATEREGISTRY);
        return true;
    }
    ::ChangeDisplaySettingsW(nullptr, 0); // back to the mode in the registry
    return false;
}

} // namespace detail
} // namespace host
