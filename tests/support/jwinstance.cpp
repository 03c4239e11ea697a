#include "jwinstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QHostInfo>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpServer>
#include <QThread>
#include <arpa/inet.h>
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace jwtest
{

// Below the kernel's ephemeral range (32768 and up): no listen(0) or outgoing
// connection of another test takes it before the program binds it. Room is left
// above for the fallback ports (+44).
quint16 freePortWith(const QList<int>& offsets)
{
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const int p = 20000 + QRandomGenerator::global()->bounded(12000);
        bool ok = true;
        for (int k : QList<int>{0} + offsets) {
            QTcpServer s;
            ok = ok && s.listen(QHostAddress::Any, quint16(p + k));
        }
        if (ok)
            return quint16(p);
    }
    return 0;
}
static QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
bool isListening(quint16 port)
{
    // Lines "sl local_address rem_address st ..."; st 0A is LISTEN.
    const QRegularExpression listen(
        QStringLiteral(":%1 [0-9A-F:]+ 0A ").arg(port, 4, 16, QLatin1Char('0')).toUpper());
    return QString::fromLatin1(readAll(QStringLiteral("/proc/net/tcp")) +
                               readAll(QStringLiteral("/proc/net/tcp6")))
        .contains(listen);
}
qint64 rssKiB(qint64 pid)
{
    const auto m = QRegularExpression(QStringLiteral("VmRSS:\\s+(\\d+)"))
                       .match(readAll(QStringLiteral("/proc/%1/status").arg(pid)));
    return m.hasMatch() ? m.captured(1).toLongLong() : -1;
}
QByteArray expectedGreeting()
{
    return QByteArray("jwshow-1.0.4.111-") + QHostInfo::localHostName().toUtf8();
}
QByteArray JwInstance::stderrOutput() const
{
    return readAll(tmp_.path() + QStringLiteral("/stderr.txt"));
}

bool JwInstance::start()
{
    auto fail = [this](const QString& why) { return error_ = why, false; };
    QDir(tmp_.path()).mkpath("data"), QDir(tmp_.path()).mkpath("config");
    port_ = opt_.port ? opt_.port : freePortWith({1});
    if (isRunning() || !tmp_.isValid() || port_ == 0)
        return fail(QStringLiteral("already running, no temporary folder or no free port"));
    if (opt_.writeIni) {
        QMap<QString, QString> keys{{QStringLiteral("port"), QString::number(port_)}};
        keys.insert(opt_.config);
        QByteArray ini = "[config]\n";
        for (auto it = keys.cbegin(); it != keys.cend(); ++it)
            ini += it.key().toUtf8() + '=' + it.value().toUtf8() + '\n';
        QFile f(iniPath());
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(ini) != ini.size())
            return fail(QStringLiteral("cannot write ") + iniPath());
    }
    QString program = opt_.program.isEmpty() ? QStringLiteral(JW_BIN_DIR "/jwshow") : opt_.program;
    if (opt_.withoutCompanion) {
        const QString copy = tmp_.path() + QStringLiteral("/jwshow");
        if (!QFile::exists(copy) && !QFile::copy(program, copy))
            return fail(QStringLiteral("cannot copy the program to ") + copy);
        program = copy;
    }
    // Off the run's X server unless asked: its pointer and modes are display tests'.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!opt_.useDisplay)
        env.remove("DISPLAY"), env.remove("WAYLAND_DISPLAY"),
            env.insert("QT_QPA_PLATFORM", "offscreen");
    for (const QString& k : opt_.unsetEnv)
        env.remove(k);
    env.insert("JWSHOW_DATA_DIR", dataDir());
    env.insert("XDG_CONFIG_HOME", tmp_.path() + "/config");
    // The windows' own language (Chinese) whatever the machine's; a test may ask for another.
    env.insert("LC_ALL", "C.UTF-8");
    for (auto it = opt_.env.cbegin(); it != opt_.env.cend(); ++it)
        env.insert(it.key(), it.value());
    process_ = std::make_unique<QProcess>();
    process_->setProcessEnvironment(env);
    process_->setWorkingDirectory(tmp_.path());
    process_->setStandardErrorFile(tmp_.path() + QStringLiteral("/stderr.txt"));
    process_->setStandardOutputFile(QProcess::nullDevice()); // never read: must not fill up
    process_->start(program, opt_.args);
    if (!process_->waitForStarted(15000))
        return fail(QStringLiteral("cannot start ") + program);
    QDeadlineTimer deadline(15000);
    while (opt_.waitForPort && !isListening(port_)) {
        if (!isRunning() || deadline.hasExpired())
            return fail(QStringLiteral("port %1 not listening; stderr:\n").arg(port_) +
                        QString::fromUtf8(stderrOutput()));
        process_->waitForFinished(50);
    }
    return true;
}

int JwInstance::stop(int timeoutMs)
{
    bool killed = false;
    if (isRunning()) {
        process_->terminate(); // SIGTERM: the orderly shutdown
        if ((killed = !process_->waitForFinished(timeoutMs)))
            process_->kill(), process_->waitForFinished(3000);
    }
    const bool crashed = !process_ || killed || process_->exitStatus() == QProcess::CrashExit;
    const int code = crashed ? -1 : process_->exitCode();
    process_.reset();
    return code;
}

bool JwInstance::secondStartAnswered(int timeoutMs)
{
    QProcess second;
    second.setProcessEnvironment(process_->processEnvironment());
    second.start(process_->program(), QStringList());
    return second.waitForFinished(timeoutMs) && second.exitStatus() == QProcess::NormalExit &&
           second.exitCode() == 0;
}

bool Controller::connectToHost(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    socket_.connectToHost(QStringLiteral("127.0.0.1"), port_);
    if (!socket_.waitForConnected(timeoutMs))
        return false;
    // No terminator: take what comes until it is as long as ours, or a reply starts.
    while (buffer_.size() < expectedGreeting().size() && !buffer_.contains('{') &&
           fill(int(deadline.remainingTime()))) {
    }
    const int brace = buffer_.indexOf('{');
    greeting_ = buffer_.left(brace < 0 ? buffer_.size() : brace);
    buffer_.remove(0, greeting_.size());
    return !greeting_.isEmpty();
}

bool Controller::fill(int timeoutMs)
{
    const bool got = socket_.bytesAvailable() > 0 || socket_.waitForReadyRead(qMax(timeoutMs, 1));
    buffer_ += socket_.readAll();
    return got;
}

bool Controller::sendRaw(const QByteArray& bytes, int timeoutMs)
{
    bool ok = connected() && socket_.write(bytes) == bytes.size();
    while (ok && socket_.bytesToWrite() > 0)
        ok = socket_.waitForBytesWritten(timeoutMs);
    return ok;
}

QByteArray Controller::nextReply(int timeoutMs) // up to the first '}' that closes an object
{
    QDeadlineTimer deadline(timeoutMs);
    do {
        const int start = buffer_.indexOf('{');
        for (int end = buffer_.indexOf('}', start); start >= 0 && end > 0;
             end = buffer_.indexOf('}', end + 1)) {
            if (QJsonDocument::fromJson(buffer_.mid(start, end + 1 - start)).isObject()) {
                const QByteArray out = buffer_.left(end + 1);
                buffer_.remove(0, end + 1);
                return out;
            }
        }
    } while (!deadline.hasExpired() && fill(int(deadline.remainingTime())));
    return QByteArray();
}

bool Controller::expectNoReply(int ms)
{
    return buffer_.isEmpty() && !fill(ms);
}

bool Controller::waitForClose(int ms) // what arrives meanwhile stays in Qt's buffer
{
    if (connected())
        socket_.waitForDisconnected(ms);
    buffer_ += socket_.readAll();
    return !connected();
}

Companion findCompanion(quint16 msgPort, int timeoutMs, qint64 notPid)
{
    QDeadlineTimer deadline(timeoutMs);
    for (;; QThread::msleep(50)) {
        for (const QString& p : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            QList<QByteArray> argv = readAll("/proc/" + p + "/cmdline").split('\0');
            const int at = argv.indexOf("/msg_port");
            if (argv.value(1) != "-app_mode" || at < 0 || p.toLongLong() == notPid ||
                argv.value(at + 1) != QByteArray::number(msgPort) ||
                readAll("/proc/" + p + "/stat").contains(") Z ")) // a zombie is gone for us
                continue;
            Companion c{p.toLongLong(), {}};
            for (int i = 1; i < argv.size() && !argv.at(i).isEmpty(); ++i)
                c.args << QString::fromUtf8(argv.at(i));
            return c;
        }
        if (deadline.hasExpired())
            return {};
    }
}

RawSocket::RawSocket(const char* from) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
{
    const timeval bound{20, 0}; // no send may block a test for ever
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    sockaddr_in local{AF_INET, 0, {::inet_addr(from ? from : "127.0.0.1")}, {}};
    if (from)
        ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
}
bool RawSocket::connect(quint16 port)
{
    sockaddr_in addr{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        close();
    return isOpen();
}
bool RawSocket::send(const QByteArray& b) const
{
    return fd_ >= 0 && ::send(fd_, b.constData(), size_t(b.size()), MSG_NOSIGNAL) == b.size();
}
qint64 RawSocket::offer(const QByteArray& b) const
{
    const ssize_t n = ::send(fd_, b.constData(), size_t(b.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
    return qMax<qint64>(n, 0);
}
QByteArray RawSocket::read(int atLeast, int silentMs, int chunk) const
{
    const timeval tv{silentMs / 1000, silentMs % 1000 * 1000};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    QByteArray got, buf(chunk, Qt::Uninitialized);
    for (ssize_t n = 0;
         got.size() < atLeast && (n = ::recv(fd_, buf.data(), size_t(chunk), 0)) > 0;)
        got.append(buf.constData(), int(n));
    return got;
}
bool RawSocket::closedByPeer() const
{
    char buf[4096];
    ssize_t n;
    while ((n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT)) > 0) {
    }
    return n == 0 || (n < 0 && errno == ECONNRESET);
}
void RawSocket::setReceiveBuffer(int bytes) const
{
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}
void RawSocket::reset()
{
    const linger l{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close();
}
void RawSocket::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

} // namespace jwtest
