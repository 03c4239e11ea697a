#include "jwinstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHostInfo>
#include <QJsonDocument>
#include <QTcpServer>
#include <QThread>

#include <csignal>

#ifndef JW_BIN_DIR
#error "JW_BIN_DIR must name the folder of the built binaries"
#endif

namespace jwtest
{

quint16 freePort()
{
    QTcpServer s;
    if (!s.listen(QHostAddress::Any, 0))
        return 0;
    return s.serverPort();
}

static bool portFree(int port)
{
    if (port <= 0 || port > 65535)
        return false;
    QTcpServer s;
    return s.listen(QHostAddress::Any, quint16(port));
}

quint16 freePortWith(const QList<int>& offsets)
{
    for (int attempt = 0; attempt < 200; ++attempt) {
        const quint16 p = freePort();
        if (p == 0)
            continue;
        bool ok = true;
        for (int k : offsets)
            ok = ok && portFree(p + k);
        if (ok)
            return p;
    }
    return 0;
}

static bool listensIn(const QString& file, quint16 port)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const QList<QByteArray> lines = f.readAll().split('\n');
    for (int i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> cols = lines[i].simplified().split(' ');
        // sl local_address rem_address st ...; st 0A is LISTEN
        if (cols.size() < 4 || cols[3] != "0A")
            continue;
        const int colon = cols[1].lastIndexOf(':');
        bool ok = false;
        if (colon >= 0 && cols[1].mid(colon + 1).toUInt(&ok, 16) == port && ok)
            return true;
    }
    return false;
}

bool isListening(quint16 port)
{
    if (QFile::exists(QStringLiteral("/proc/net/tcp")))
        return listensIn(QStringLiteral("/proc/net/tcp"), port) ||
               listensIn(QStringLiteral("/proc/net/tcp6"), port);
    // Without procfs the only way to know is to try.
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    return s.waitForConnected(200);
}

qint64 rssKiB(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) {
            const QList<QByteArray> cols = line.simplified().split(' ');
            if (cols.size() >= 2)
                return cols[1].toLongLong();
        }
    }
    return -1;
}

QByteArray expectedGreeting()
{
    return QByteArray("jwshow-1.0.4.111-") + QHostInfo::localHostName().toUtf8();
}

// ---------------------------------------------------------------------------------

JwInstance::JwInstance(JwInstanceOptions options) : opt_(std::move(options))
{
    program_ = QStringLiteral(JW_BIN_DIR "/jwshow");
}

JwInstance::~JwInstance()
{
    stop();
}

QString JwInstance::dataDir() const
{
    return tmp_.path() + QStringLiteral("/data");
}
QString JwInstance::iniPath() const
{
    return dataDir() + QStringLiteral("/app.ini");
}
QString JwInstance::logPath() const
{
    return dataDir() + QStringLiteral("/jwshowApp.log");
}
QString JwInstance::configHome() const
{
    return tmp_.path() + QStringLiteral("/config");
}
QString JwInstance::programPath() const
{
    return program_;
}

qint64 JwInstance::pid() const
{
    return process_ ? process_->processId() : 0;
}

bool JwInstance::isRunning() const
{
    return process_ && process_->state() != QProcess::NotRunning;
}

static QByteArray readWhole(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray JwInstance::stderrOutput() const
{
    return readWhole(tmp_.path() + QStringLiteral("/stderr.txt"));
}

QByteArray JwInstance::stdoutOutput() const
{
    return readWhole(tmp_.path() + QStringLiteral("/stdout.txt"));
}

bool JwInstance::start()
{
    if (isRunning()) {
        error_ = QStringLiteral("already running");
        return false;
    }
    if (!tmp_.isValid()) {
        error_ = QStringLiteral("no temporary folder");
        return false;
    }
    QDir().mkpath(dataDir());
    QDir().mkpath(configHome());

    port_ = opt_.port ? opt_.port : freePortWith({1});
    if (port_ == 0) {
        error_ = QStringLiteral("no free port");
        return false;
    }

    if (opt_.writeIni) {
        QByteArray ini;
        if (!opt_.rawIni.isNull()) {
            ini = opt_.rawIni.toUtf8();
        } else {
            QMap<QString, QString> keys;
            keys.insert(QStringLiteral("port"), QString::number(port_));
            for (auto it = opt_.config.cbegin(); it != opt_.config.cend(); ++it)
                keys.insert(it.key(), it.value());
            for (const QString& k : opt_.omitKeys)
                keys.remove(k);
            ini = "[config]\n";
            for (auto it = keys.cbegin(); it != keys.cend(); ++it)
                ini += it.key().toUtf8() + '=' + it.value().toUtf8() + '\n';
        }
        QFile f(iniPath());
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(ini) != ini.size()) {
            error_ = QStringLiteral("cannot write ") + iniPath();
            return false;
        }
    }

    if (opt_.withoutCompanion) {
        const QString binDir = tmp_.path() + QStringLiteral("/bin");
        QDir().mkpath(binDir);
        const QString copy = binDir + QStringLiteral("/jwshow");
        if (!QFile::exists(copy) && !QFile::copy(QStringLiteral(JW_BIN_DIR "/jwshow"), copy)) {
            error_ = QStringLiteral("cannot copy the program to ") + copy;
            return false;
        }
        program_ = copy;
    }

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("JWSHOW_DATA_DIR"), dataDir());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome());
    if (!opt_.useDisplay) {
        // Without its own display the program must not reach the X server of the
        // run either: pointer moves and mode changes would disturb display tests.
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    }
    for (const QString& k : opt_.unsetEnv)
        env.remove(k);
    for (auto it = opt_.env.cbegin(); it != opt_.env.cend(); ++it)
        env.insert(it.key(), it.value());

    process_ = std::make_unique<QProcess>();
    process_->setProcessEnvironment(env);
    process_->setWorkingDirectory(tmp_.path());
    process_->setStandardErrorFile(tmp_.path() + QStringLiteral("/stderr.txt"));
    process_->setStandardOutputFile(tmp_.path() + QStringLiteral("/stdout.txt"));
    process_->setStandardInputFile(QProcess::nullDevice());
    exitCode_ = -1;
    crashed_ = killed_ = false;
    process_->start(program_, opt_.args);
    if (!process_->waitForStarted(opt_.startTimeoutMs)) {
        error_ = QStringLiteral("cannot start ") + program_ + QStringLiteral(": ") +
                 process_->errorString();
        process_.reset();
        return false;
    }
    if (opt_.waitForPort && !waitForListening(opt_.startTimeoutMs))
        return false;
    return true;
}

bool JwInstance::waitForListening(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        if (!isRunning()) {
            error_ = QStringLiteral("the program exited before listening; stderr:\n") +
                     QString::fromUtf8(stderrOutput());
            return false;
        }
        if (isListening(port_))
            return true;
        process_->waitForFinished(50);
    }
    error_ =
        QStringLiteral("port %1 not listening after %2 ms; stderr:\n").arg(port_).arg(timeoutMs) +
        QString::fromUtf8(stderrOutput());
    return false;
}

int JwInstance::stop(int timeoutMs)
{
    if (!process_)
        return exitCode_;
    if (process_->state() != QProcess::NotRunning) {
        process_->terminate(); // SIGTERM: the orderly shutdown
        if (!process_->waitForFinished(timeoutMs)) {
            process_->kill();
            process_->waitForFinished(3000);
            killed_ = true;
        }
    }
    crashed_ = process_->exitStatus() == QProcess::CrashExit;
    exitCode_ = (killed_ || crashed_) ? -1 : process_->exitCode();
    process_.reset();
    return exitCode_;
}

// ---------------------------------------------------------------------------------

qint64 firstObjectLength(const QByteArray& data)
{
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (qint64 i = 0; i < data.size(); ++i) {
        const char c = data.at(int(i));
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"' && depth > 0) {
            inString = true;
        } else if (c == '{') {
            ++depth;
        } else if (c == '}' && depth > 0) {
            if (--depth == 0)
                return i + 1;
        }
    }
    return -1;
}

Controller::Controller(quint16 port, const QString& host)
    : host_(host), port_(port), socket_(std::make_unique<QTcpSocket>())
{
}

Controller::~Controller()
{
    close();
}

bool Controller::connectToHost(int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    socket_->connectToHost(host_, port_);
    if (!socket_->waitForConnected(timeoutMs))
        return false;
    // The greeting has no terminator: take what arrives until it is as long as
    // this host's greeting, or a reply starts.
    const int want = expectedGreeting().size();
    while (buffer_.size() < want && !buffer_.contains('{')) {
        const int left = timeoutMs - int(t.elapsed());
        if (left <= 0 || !fill(left))
            break;
    }
    const int brace = buffer_.indexOf('{');
    const int len = brace < 0 ? buffer_.size() : brace;
    greeting_ = buffer_.left(len);
    buffer_.remove(0, len);
    return !greeting_.isEmpty();
}

bool Controller::fill(int timeoutMs)
{
    if (socket_->bytesAvailable() == 0 && !socket_->waitForReadyRead(qMax(timeoutMs, 1)))
        return false;
    buffer_ += socket_->readAll();
    return true;
}

bool Controller::sendRaw(const QByteArray& bytes, int timeoutMs)
{
    if (socket_->state() != QAbstractSocket::ConnectedState)
        return false;
    if (socket_->write(bytes) != bytes.size())
        return false;
    QDeadlineTimer deadline(timeoutMs);
    while (socket_->bytesToWrite() > 0) {
        if (deadline.hasExpired() || !socket_->waitForBytesWritten(int(deadline.remainingTime())))
            return false;
    }
    return true;
}

bool Controller::send(const QJsonObject& packet, int timeoutMs)
{
    return sendRaw(QJsonDocument(packet).toJson(QJsonDocument::Compact), timeoutMs);
}

QByteArray Controller::login(const QString& from, const QString& name, const QString& pwd,
                             const QString& id)
{
    return request(
        QJsonObject{{"type", "login"}, {"id", id}, {"from", from}, {"name", name}, {"pwd", pwd}});
}

QByteArray Controller::request(const QJsonObject& packet, int timeoutMs)
{
    if (!send(packet, timeoutMs))
        return QByteArray();
    return nextReply(timeoutMs);
}

QByteArray Controller::nextReply(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        const qint64 len = firstObjectLength(buffer_);
        if (len > 0) {
            const QByteArray out = buffer_.left(int(len));
            buffer_.remove(0, int(len));
            return out;
        }
        if (deadline.hasExpired() || !fill(int(deadline.remainingTime())))
            return QByteArray();
    }
}

QJsonObject Controller::nextReplyObject(int timeoutMs)
{
    return QJsonDocument::fromJson(nextReply(timeoutMs)).object();
}

bool Controller::expectNoReply(int ms)
{
    if (!buffer_.isEmpty())
        return false;
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        if (fill(int(deadline.remainingTime())))
            return buffer_.isEmpty();
        if (socket_->state() != QAbstractSocket::ConnectedState)
            break; // closed: nothing more can come
    }
    return buffer_.isEmpty();
}

bool Controller::waitForClose(int ms)
{
    QDeadlineTimer deadline(ms);
    while (socket_->state() == QAbstractSocket::ConnectedState) {
        if (deadline.hasExpired())
            return false;
        if (socket_->waitForReadyRead(int(qMax<qint64>(deadline.remainingTime(), 1))))
            buffer_ += socket_->readAll();
    }
    buffer_ += socket_->readAll();
    return true;
}

bool Controller::isConnected() const
{
    return socket_->state() == QAbstractSocket::ConnectedState;
}

void Controller::close()
{
    if (socket_->state() != QAbstractSocket::UnconnectedState) {
        socket_->abort();
    }
}

} // namespace jwtest
