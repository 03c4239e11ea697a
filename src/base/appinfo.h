#pragma once
// What the program says of itself: its identity and version (the greeting, the
// login reply, the About dialog), the name its users see, and where its help is.

namespace jw
{
inline constexpr const char* kAppName = "jwshow";
inline constexpr const char* kVersion = "1.0.4.111";
// The name on its windows, and on the browser remote's pages.
inline constexpr const char* kProductName = "Tovanel";
// The program's site (the About dialog).
inline constexpr const char* kHelpUrl = "https://jwshow.example.org/help";
// The help page, served on the browser remote's web port: the tray's help entry
// and the main window's link open it there.
inline constexpr const char* kHelpPath = "/help";
} // namespace jw
