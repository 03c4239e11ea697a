#include "app/jwlog.h"

#include <QDateTime>

// placeholder until the log facility lands
bool g_debugMode = false;
void JWLOG::log_init(const QString&) {}
void JWLOG::log_open() {}
void JWLOG::log_close() {}
void JWLOG::debug(const QString&) {}
void JWLOG::error(const QString&) {}
void JWLOG::warning(const QString&) {}
QString JWLOG::stamp(Level, const QDateTime&) { return {}; }
QString GetAppDataPath() { return {}; }
QString ReadConfig(const QString&, const QString&, const QString&) { return {}; }
void WriteConfig(const QString&, const QString&, const QString&, const QString&) {}
void WriteLogWindow(const QString&) {}
