#pragma once
// Process-wide values shared by the subsystems. The GUI thread writes them at
// start-up (before any worker thread exists) and at a port change; of the worker
// threads only the dispatcher writes one of them (g_rcPort, hence atomic).

#include <QString>
#include <atomic>

class MainWindow;
class JWShowUi;
class JWLOGUI;
class paintViewManage;
class videoShowStatDialog;

extern MainWindow* g_mainWindow;
extern JWShowUi* g_showUi;
extern JWLOGUI* g_logUi;
extern paintViewManage* g_paintViewManage;
extern videoShowStatDialog* g_videoShowStatDialog;

extern QString g_appDir;              // folder of the executable (native separators)
extern int g_port;                    // port the socket server listens on
extern std::atomic<int> g_rcPort;     // port of the companion server, 0 until set
extern QString g_auth;                // six-digit companion code, new at every start
extern bool g_autoFull;               // the show window goes full screen by itself
extern QString g_computerName;        // host name, sent in the greeting
extern QString g_helpUrl;             // the help page (tray entry, main window link)
extern bool g_hideOnClose;            // closing the main window only hides it

namespace jw {
// Identity and version, sent in the greeting, the login reply and the About dialog.
inline constexpr const char* kAppName = "jwshow";
inline constexpr const char* kVersion = "1.0.4.111";
} // namespace jw
