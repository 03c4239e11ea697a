#pragma once
// The running program for end-to-end tests: a real build/jwshow in a fresh data
// folder on a free port, stopped (SIGTERM, then kill) when the object goes away;
// and Controller, a synchronous client that talks to it like a phone does.

#include <QByteArray>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <memory>

namespace jwtest
{

// A TCP port on 127.0.0.1 that was free a moment ago (bind port 0, release).
quint16 freePort();
// A port p such that p + k is free too for every k in offsets (e.g. {1} for the
// companion, {1, 11, 22} to leave the fallback ports open). 0 when none is found.
quint16 freePortWith(const QList<int>& offsets);
// True while some socket listens on the TCP port (IPv4 or IPv6, any address).
bool isListening(quint16 port);
// Resident set size of a process in KiB (VmRSS of /proc/<pid>/status), -1 if unknown.
qint64 rssKiB(qint64 pid);

// What the greeting of a program on this host is: "jwshow-1.0.4.111-<host name>".
QByteArray expectedGreeting();

struct JwInstanceOptions {
    QStringList args;              // command line, e.g. {"debug"}
    QMap<QString, QString> config; // extra or overriding [config] keys of app.ini
    QStringList omitKeys;          // [config] keys not to write (e.g. "port")
    QString rawIni;                // when set, written verbatim as app.ini instead
    bool writeIni = true;          // false: start without any app.ini
    quint16 port = 0;              // 0: a free port p with p+1 free (the companion's)
    bool useDisplay = false;       // true: keep DISPLAY and the platform of the run
    QMap<QString, QString> env;    // extra environment (applied last)
    QStringList unsetEnv;          // variables removed from the environment
    // Runs a copy of the program from a folder of its own, so that no companion
    // stand-in lies beside it (the program looks for the companion there).
    bool withoutCompanion = false;
    bool waitForPort = true; // start() waits until the port listens
    int startTimeoutMs = 15000;
};

class JwInstance
{
public:
    explicit JwInstance(JwInstanceOptions options = {});
    ~JwInstance(); // stop()
    JwInstance(const JwInstance&) = delete;
    JwInstance& operator=(const JwInstance&) = delete;

    // Writes app.ini, starts the process and (unless told otherwise) waits until
    // the port listens. False on failure; errorString() says why.
    bool start();
    // SIGTERM and a bounded wait, then SIGKILL. Returns the exit code, or -1 when
    // the process crashed or had to be killed. Harmless when not running.
    int stop(int timeoutMs = 8000);
    bool isRunning() const;
    // Waits until the program's port listens (bounded). False if it exits first.
    bool waitForListening(int timeoutMs);

    quint16 port() const { return port_; }
    qint64 pid() const;
    QString dataDir() const;
    QString iniPath() const;
    QString logPath() const;         // jwshowApp.log in the data folder
    QString configHome() const;      // XDG_CONFIG_HOME given to the program
    QString programPath() const;     // the binary that was (or will be) started
    QByteArray stderrOutput() const; // everything written so far
    QByteArray stdoutOutput() const;
    QString errorString() const { return error_; }
    QProcess& process() { return *process_; }
    // Exit state once stopped (or exited on its own).
    int exitCode() const { return exitCode_; }
    bool crashed() const { return crashed_; }
    bool killed() const { return killed_; }

private:
    JwInstanceOptions opt_;
    QTemporaryDir tmp_;
    std::unique_ptr<QProcess> process_;
    quint16 port_ = 0;
    QString program_;
    QString error_;
    int exitCode_ = -1;
    bool crashed_ = false;
    bool killed_ = false;
};

// One controller connection with a synchronous API. The program sends replies
// back to back with no separator, so replies are cut out of the byte stream by
// counting braces outside JSON strings.
class Controller
{
public:
    explicit Controller(quint16 port, const QString& host = QStringLiteral("127.0.0.1"));
    ~Controller();

    // Connects and reads the greeting. False on refusal or timeout.
    bool connectToHost(int timeoutMs = 5000);
    // The greeting bytes: everything received before the first '{'.
    QByteArray greeting() const { return greeting_; }

    bool sendRaw(const QByteArray& bytes, int timeoutMs = 5000);
    bool send(const QJsonObject& packet, int timeoutMs = 5000); // compact JSON
    // Sends a login (type "login", id, from, name, pwd) and returns its reply bytes.
    QByteArray login(const QString& from, const QString& name = QStringLiteral("tester"),
                     const QString& pwd = QStringLiteral("pw"),
                     const QString& id = QStringLiteral("1"));
    // Sends a packet and returns the next reply (empty on timeout).
    QByteArray request(const QJsonObject& packet, int timeoutMs = 5000);

    // The next complete JSON object, as bytes exactly as received (anything
    // before its '{' included, so stray bytes show). Empty on timeout.
    QByteArray nextReply(int timeoutMs = 5000);
    QJsonObject nextReplyObject(int timeoutMs = 5000);
    // True when nothing at all arrives within ms.
    bool expectNoReply(int ms);
    // True when the peer closes the connection within ms (pending bytes are kept).
    bool waitForClose(int ms);
    bool isConnected() const;
    void close();

    QByteArray pending() const { return buffer_; } // received, not yet handed out
    QTcpSocket& socket() { return *socket_; }

private:
    bool fill(int timeoutMs); // reads whatever arrives within timeoutMs
    qint64 completeObjectEnd() const;

    QString host_;
    quint16 port_;
    std::unique_ptr<QTcpSocket> socket_;
    QByteArray buffer_;
    QByteArray greeting_;
};

// Length of the first complete JSON object in data (from the start of data up to
// and including its closing brace), or -1 when none is complete yet. Braces inside
// strings are not counted; bytes before the first '{' belong to the object.
qint64 firstObjectLength(const QByteArray& data);

} // namespace jwtest
