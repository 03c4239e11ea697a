#include "base/jwlog.h"

#include "base/jwdebug.h"
#include "host/datafolder.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QTextCodec>
#include <QTextStream>
#include <memory>
#include <utility>

bool g_debugMode = false;

// Silent unless debug mode or QT_LOGGING_RULES turn it on: writing several lines
// per packet costs the dispatcher more than handling the packet.
Q_LOGGING_CATEGORY(lcJwShow, "jwshow", QtInfoMsg)

// The pictures live in the core library; a static library's resources are only
// registered when something refers to them, and every part of the program
// refers to the log.
static const bool s_resourcesRegistered = [] {
    Q_INIT_RESOURCE(jw);
    return true;
}();

namespace
{

// The facility's state. The objects are made by log_init and left to the
// operating system at exit, so that a record written by a worker thread during
// process teardown never meets a destroyed stream.
struct LogState {
    std::mutex lock; // held per record from formatting to flush, so records never mix
    bool open = false;
    std::unique_ptr<QFile> file;
    std::unique_ptr<QTextStream> stream; // declared after file: goes first
};

LogState& state()
{
    static LogState* s = new LogState; // never destroyed, see above
    return *s;
}

// One record: a line of the log file and a line of the log window, the code
// blanked out of both.
void writeRecord(JWLOG::Level level, const QString& msg)
{
    if (!g_debugMode)
        return;
    const QString text = WithoutCode(msg);
    LogWindowFeed::instance()->add(text);
    LogState& s = state();
    std::lock_guard<std::mutex> locker(s.lock);
    if (!s.open || !s.stream)
        return;
    *s.stream << JWLOG::stamp(level, QDateTime::currentDateTime()) << text << '\n';
    s.stream->flush();
}

} // namespace

QString JWLOG::stamp(Level level, const QDateTime& when)
{
    // The patterns go through the date-time formatter as a whole: ":ms" becomes
    // minute and second without leading zeros, and the "a" of "Warning" is the
    // am/pm marker (which also turns "hh" into a 12-hour hour). The log readers
    // rely on exactly this shape.
    switch (level) {
    case Debug:
        return when.toString(QStringLiteral("\n>yyyy/MM/dd hh:mm:ss:ms>Debug:"));
    case Error:
        return when.toString(QStringLiteral("\n>yyyy/MM/dd hh:mm:ss:ms>Error:"));
    case Warning:
        return when.toString(QStringLiteral("\n>yyyy/MM/dd hh:mm:ss:ms>Warning:"));
    }
    return QString();
}

void JWLOG::log_init(const QString& folder)
{
    if (!g_debugMode)
        return;
    LogState& s = state();
    std::lock_guard<std::mutex> locker(s.lock);
    // Every use of the objects happens under the lock, so replacing them here is
    // safe even while other threads log.
    s.open = false;
    s.stream.reset();
    s.file = std::make_unique<QFile>(folder + QDir::separator() + QStringLiteral("jwshowApp.log"));
    s.stream = std::make_unique<QTextStream>(s.file.get());
    // The log is plain UTF-8 text, whatever the process locale says.
    s.stream->setCodec(QTextCodec::codecForName("UTF-8"));
}

void JWLOG::log_open()
{
    if (!g_debugMode)
        return;
    LogState& s = state();
    std::lock_guard<std::mutex> locker(s.lock);
    if (!s.file)
        return;
    if (s.file->open(QIODevice::WriteOnly | QIODevice::Append)) {
        s.open = true;
        qCDebug(lcJwShow) << ">>打开日志成功";
    } else {
        s.open = false;
        qCDebug(lcJwShow) << ">>打开日志失败 ";
    }
}

void JWLOG::log_close()
{
    if (!g_debugMode)
        return;
    qCDebug(lcJwShow) << ">>关闭日志";
    LogState& s = state();
    std::lock_guard<std::mutex> locker(s.lock);
    if (s.open && s.file)
        s.file->close();
    s.open = false;
}

void JWLOG::debug(const QString& msg)
{
    writeRecord(Debug, msg);
}
void JWLOG::error(const QString& msg)
{
    writeRecord(Error, msg);
}
void JWLOG::warning(const QString& msg)
{
    writeRecord(Warning, msg);
}

QString GetAppDataPath()
{
    const QString fromEnv = qEnvironmentVariable("JWSHOW_DATA_DIR");
    QString path = fromEnv.isEmpty() ? QString::fromStdString(host::DefaultDataFolder()) : fromEnv;
    path = QDir::toNativeSeparators(path);
    while (path.size() > 1 && path.endsWith(QDir::separator()))
        path.chop(1);
    return path;
}

namespace
{
struct Secret {
    std::mutex lock;
    QString code;
};
Secret& secret()
{
    static Secret* s = new Secret; // never destroyed: workers may log at exit
    return *s;
}
} // namespace

void JWLOG::setCode(const QString& code)
{
    std::lock_guard<std::mutex> l(secret().lock);
    secret().code = code;
}

QString WithoutCode(const QString& text)
{
    QString code;
    {
        std::lock_guard<std::mutex> l(secret().lock);
        code = secret().code;
    }
    if (code.isEmpty() || !text.contains(code))
        return text;
    return QString(text).replace(code, QStringLiteral("******"));
}

LogWindowFeed* LogWindowFeed::instance()
{
    static LogWindowFeed* feed = new LogWindowFeed; // never destroyed: workers may log at exit
    return feed;
}

void LogWindowFeed::add(const QString& line)
{
    bool notify;
    {
        std::lock_guard<std::mutex> l(lock);
        if (closed)
            return;
        lines.append(line);
        if (lines.size() > kMaxLines)
            lines.removeFirst();
        notify = !notified;
        notified = true;
    }
    if (notify)
        emit linesWaiting();
}

QStringList LogWindowFeed::take()
{
    std::lock_guard<std::mutex> l(lock);
    notified = false;
    return std::exchange(lines, QStringList());
}

void LogWindowFeed::close()
{
    QStringList dropped; // freed outside the lock
    std::lock_guard<std::mutex> l(lock);
    closed = true;
    dropped.swap(lines);
}
