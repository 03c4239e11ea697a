#include "host/keys.h"

#include <windows.h>

namespace
{

WORD virtualKeyOf(host::SlideKey key)
{
    switch (key) {
    case host::SlideKey::Next:
        return VK_RIGHT;
    case host::SlideKey::Previous:
        return VK_LEFT;
    case host::SlideKey::First:
        return VK_HOME;
    case host::SlideKey::Last:
        return VK_END;
    case host::SlideKey::Start:
        return VK_F5;
    case host::SlideKey::End:
        return VK_ESCAPE;
    case host::SlideKey::Black:
        return 'B';
    case host::SlideKey::White:
        return 'W';
    }
    return 0;
}

// The arrows, Home and End of the cursor block are extended keys: without the
// flag they arrive as the number block's 4, 6, 7 and 1 with Num Lock on.
bool extendedKey(WORD vk)
{
    return vk == VK_RIGHT || vk == VK_LEFT || vk == VK_HOME || vk == VK_END;
}

} // namespace

namespace host
{

struct SlideKeys::Connection {
};

SlideKeys::SlideKeys() : c_(std::make_unique<Connection>()) {}
SlideKeys::~SlideKeys() = default;

KeySent SlideKeys::SendSlideKey(SlideKey key)
{
    const HWND front = ::GetForegroundWindow();
    if (!front)
        return KeySent::NoFocus;
    DWORD pid = 0;
    ::GetWindowThreadProcessId(front, &pid);
    if (pid == ::GetCurrentProcessId())
        return KeySent::OwnWindowInFront;
    const WORD vk = virtualKeyOf(key);
    INPUT input[2] = {};
    input[0].type = INPUT_KEYBOARD;
    input[0].ki.wVk = vk;
    input[0].ki.dwFlags = extendedKey(vk) ? KEYEVENTF_EXTENDEDKEY : 0;
    input[1] = input[0];
    input[1].ki.dwFlags |= KEYEVENTF_KEYUP;
    return ::SendInput(2, input, sizeof(INPUT)) == 2 ? KeySent::Sent : KeySent::Unavailable;
}

} // namespace host
