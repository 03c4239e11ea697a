#pragma once
// The real build/jwshow in a fresh data folder on a free port, stopped when the
// object goes away; Controller, a synchronous client that talks like a phone; and
// RawSocket, a plain socket for what Qt's would hide (other hosts, resets, floods).

#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <memory>

namespace jwtest
{

// A TCP port p below the ephemeral range, free a moment ago with p + k for every k
// in offsets; 0 when none is found.
quint16 freePortWith(const QList<int>& offsets);
inline quint16 freePort()
{
    return freePortWith({});
}
bool isListening(quint16 port); // some socket listens on it (IPv4 or IPv6)

// A running companion stand-in (JWRCServer_x64, any name) and its arguments.
struct Companion {
    qint64 pid = 0;
    QStringList args;
};
// The live stand-in serving the program on msgPort, other than notPid, waiting
// up to timeoutMs for one.
Companion findCompanion(quint16 msgPort, int timeoutMs = 0, qint64 notPid = 0);
qint64 rssKiB(qint64 pid);     // VmRSS of the process, -1 if unknown
QByteArray expectedGreeting(); // "jwshow-1.0.4.111-<this host's name>"

// Memory bounds hold for the program built without a sanitizer (whose shadow
// memory and quarantine grow with what was allocated and freed).
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define JW_TEST_SANITIZED
#endif
#endif
#ifdef JW_TEST_SANITIZED
inline constexpr bool kMemoryBounded = false;
#else
inline constexpr bool kMemoryBounded = true;
#endif

struct JwInstanceOptions {
    QStringList args;              // command line, e.g. {"debug"}
    QMap<QString, QString> config; // extra or overriding [config] keys of app.ini
    bool writeIni = true;          // false: start without any app.ini
    quint16 port = 0;              // 0: a free port p with p+1 free (the companion's)
    bool useDisplay = false;       // true: keep DISPLAY and the platform of the run
    QMap<QString, QString> env;    // extra environment (applied last)
    bool withoutCompanion = false; // run a copy alone in a folder: no companion beside it
    bool waitForPort = true;       // start() waits until the port listens
    QStringList unsetEnv;          // variables removed from the environment (benchmarks)
    QString program;               // the program to run; empty: build/jwshow (benchmarks)
};

// The program presenting on the X server of the run: full screen, started into
// the tray, alone in its folder (no companion); `config` adds to its app.ini.
inline JwInstanceOptions presentingOptions(const QMap<QString, QString>& config = {})
{
    JwInstanceOptions o;
    o.useDisplay = true;
    o.withoutCompanion = true;
    o.config = {{"autofull", "1"}, {"runtray", "1"}};
    o.config.insert(config);
    return o;
}

class JwInstance
{
public:
    explicit JwInstance(JwInstanceOptions options = {}) : opt_(std::move(options)) {}
    ~JwInstance() { stop(); }

    bool start(); // writes app.ini, starts, waits for the port; errorString() says why not
    // SIGTERM, then SIGKILL: the exit code; -1 if it crashed, was killed or never ran.
    int stop(int timeoutMs = 8000);
    bool isRunning() const { return process_ && process_->state() != QProcess::NotRunning; }
    quint16 port() const { return port_; }
    qint64 pid() const { return process_ ? process_->processId() : 0; }
    QString dataDir() const { return tmp_.path() + QStringLiteral("/data"); }
    QString iniPath() const { return dataDir() + QStringLiteral("/app.ini"); }
    QString logPath() const { return dataDir() + QStringLiteral("/jwshowApp.log"); }
    QByteArray stderrOutput() const; // everything written so far
    QString errorString() const { return error_; }
    QProcess& process() { return *process_; }
    // A second start of the same program and folder ended with code 0 in timeoutMs.
    bool secondStartAnswered(int timeoutMs);

private:
    JwInstanceOptions opt_;
    QTemporaryDir tmp_;
    std::unique_ptr<QProcess> process_;
    quint16 port_ = 0;
    QString error_;
};

// A packet of `type` from a controller, with an id and the fields given.
inline QJsonObject packet(const char* type, const QString& from, QJsonObject fields = {},
                          const QString& id = QStringLiteral("2"))
{
    fields.insert("type", type), fields.insert("from", from), fields.insert("id", id);
    return fields;
}

// A synchronous controller connection; replies come back to back, cut out of the
// stream as whole JSON objects.
class Controller
{
public:
    explicit Controller(quint16 port) : port_(port) {}
    bool connectToHost(int timeoutMs = 5000);         // connects and reads the greeting
    QByteArray greeting() const { return greeting_; } // what came before the first '{'
    bool sendRaw(const QByteArray& bytes, int timeoutMs = 5000);
    bool send(const QJsonObject& packet, int timeoutMs = 5000) // compact JSON
    {
        return sendRaw(QJsonDocument(packet).toJson(QJsonDocument::Compact), timeoutMs);
    }
    QByteArray request(const QJsonObject& packet, int timeoutMs = 5000) // its reply
    {
        return send(packet, timeoutMs) ? nextReply(timeoutMs) : QByteArray();
    }
    QByteArray login(const QString& from, const QString& name = "tester", const QString& pwd = "pw",
                     const QString& id = "1")
    {
        return request(
            {{"type", "login"}, {"id", id}, {"from", from}, {"name", name}, {"pwd", pwd}});
    }
    // The next JSON object with any stray bytes before it; empty on timeout.
    QByteArray nextReply(int timeoutMs = 5000);
    bool expectNoReply(int ms); // nothing at all arrives within ms
    bool waitForClose(int ms);  // the peer closes within ms (pending bytes are kept)
    QByteArray pending() const { return buffer_; } // received, not yet handed out
    QTcpSocket& socket() { return socket_; }

private:
    bool fill(int timeoutMs); // reads whatever arrives within timeoutMs
    bool connected() const { return socket_.state() == QAbstractSocket::ConnectedState; }
    quint16 port_;
    QTcpSocket socket_;
    QByteArray buffer_;
    QByteArray greeting_;
};

// A blocking IPv4 socket without Qt (thousands cost no event-loop work) that can
// come from another loopback address ("127.0.0.2"), stop reading, or be reset.
class RawSocket
{
public:
    explicit RawSocket(const char* from = nullptr); // not connected yet
    explicit RawSocket(quint16 port, const char* from = nullptr) : RawSocket(from)
    {
        connect(port);
    }
    ~RawSocket() { close(); }
    RawSocket(const RawSocket&) = delete;
    RawSocket& operator=(const RawSocket&) = delete;
    bool connect(quint16 port); // to 127.0.0.1; closes the socket when refused
    bool isOpen() const { return fd_ >= 0; }
    bool send(const QByteArray& bytes) const;    // all of it, within 20 s
    qint64 offer(const QByteArray& bytes) const; // without waiting: the bytes taken
    // What arrives (`chunk` bytes a read) until `atLeast`, a close or `silentMs` of silence.
    QByteArray read(int atLeast, int silentMs = 5000, int chunk = 65536) const;
    // Whether the program has closed it (what it sent before is read and dropped).
    bool closedByPeer() const;
    void setReceiveBuffer(int bytes) const;
    void reset(); // a close that resets the connection, as a vanished phone's network does
    void close();

private:
    int fd_ = -1;
};

} // namespace jwtest
