#include "base/appglobals.h"

MainWindow* g_mainWindow = nullptr;
JWShowUi* g_showUi = nullptr;
JWLOGUI* g_logUi = nullptr;
paintViewManage* g_paintViewManage = nullptr;
videoShowStatDialog* g_videoShowStatDialog = nullptr;

QString g_appDir;
int g_port = 0;
std::atomic<int> g_rcPort{0};
QString g_auth;
bool g_autoFull = false;
QString g_computerName;
QString g_helpUrl = QStringLiteral("https://jwshow.example.org/help");
bool g_hideOnClose = true;
