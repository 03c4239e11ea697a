#pragma once
// What the program says of itself: its identity and version (the greeting, the
// login reply, the About dialog) and the address of its help.

namespace jw
{
inline constexpr const char* kAppName = "jwshow";
inline constexpr const char* kVersion = "1.0.4.111";
// The help page: the tray's help entry and the main window's link.
inline constexpr const char* kHelpUrl = "https://jwshow.example.org/help";
} // namespace jw
