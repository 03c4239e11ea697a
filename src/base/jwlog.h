#pragma once
// The diagnostic log (active only in debug mode) and the settings store.

#include <QString>

extern bool g_debugMode; // set once by start-up when the first argument is "debug"

class JWLOG {
public:
    static void log_init(const QString& folder); // folder + "/jwshowApp.log", not opened yet
    static void log_open();
    static void log_close();
    static void debug(const QString& msg);
    static void error(const QString& msg);
    static void warning(const QString& msg);

    // The stamp of one record for a given moment; exposed for the tests.
    enum Level { Debug, Error, Warning };
    static QString stamp(Level level, const class QDateTime& when);
};

// The data folder (JWSHOW_DATA_DIR, else the machine-wide folder), no trailing separator.
QString GetAppDataPath();
QString ReadConfig(const QString& group, const QString& key, const QString& iniPath);
void WriteConfig(const QString& group, const QString& key, const QString& value,
                 const QString& iniPath);

// Sends one line to the log window (debug mode only; callable from any thread).
void WriteLogWindow(const QString& text);
