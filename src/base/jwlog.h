#pragma once
// The diagnostic log (active only in debug mode), the log window's feed and the data folder.

#include <QObject>
#include <QString>
#include <QStringList>
#include <mutex>

extern bool g_debugMode; // set once by start-up when the first argument is "debug"

// The log: in debug mode each record is a line of the log file (jwshowApp.log)
// and a line of the log window; outside it nothing. Any thread. Chatter that only
// a developer at a console wants goes to the logging category lcJwShow instead.
class JWLOG
{
public:
    static void log_init(const QString& folder); // folder + "/jwshowApp.log", not opened yet
    static void log_open();
    static void log_close();
    static void debug(const QString& msg);
    static void error(const QString& msg);
    static void warning(const QString& msg);
    // This start's pairing code, never written to the log (any thread).
    static void setCode(const QString& code);

    // The stamp of one record for a given moment; exposed for the tests.
    enum Level { Debug, Error, Warning };
    static QString stamp(Level level, const class QDateTime& when);
};

// The data folder (JWSHOW_DATA_DIR, else the machine-wide folder), no trailing separator.
QString GetAppDataPath();

// The text with every occurrence of this start's pairing code (see
// JWLOG::setCode) blanked out. The log file and the log window never show the code: whoever reads
// the log could otherwise pair a phone with the program.
QString WithoutCode(const QString& text);

// The lines on their way to the log window. Worker threads add lines as fast as
// packets arrive; the window takes them in batches on the GUI thread. At most
// kMaxLines wait (the oldest go first), and one notification is outstanding at
// a time, so a flood of packets costs the GUI thread one event per batch.
class LogWindowFeed : public QObject
{
    Q_OBJECT
public:
    static constexpr int kMaxLines = 10000;
    static LogWindowFeed* instance(); // lives until the process ends

    void add(const QString& line);
    QStringList take(); // every waiting line, oldest first
    // Drops the waiting lines and every later one: once the program quits, the
    // window has nothing more to show (the log file keeps its own records).
    // Callable from any thread.
    void close();

signals:
    void linesWaiting(); // emitted once until take() is called

private:
    LogWindowFeed() = default;
    std::mutex lock;
    QStringList lines;
    bool notified = false;
    bool closed = false;
};
