#include "app/singleinstance.h"

#include "base/jwlog.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QTimer>

namespace
{

// Frame: a 32-bit big-endian byte count and the UTF-8 text; the receiver answers
// with one byte once it has the whole message, so the sender knows it arrived.
constexpr char kAck = '\x06';
constexpr quint32 kMaxMessage = 64 * 1024;

QString lockFolder()
{
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty())
        dir = QDir::tempPath();
    return dir;
}

} // namespace

SingleInstance::SingleInstance(const QString& identity, QObject* parent)
    : QObject(parent), m_key(keyFor(identity))
{
}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::defaultIdentity()
{
    // Where the executable lies does not matter: two copies on one data folder
    // would share its settings and log. The folder is named by its resolved path,
    // so a link to it (or a path spelled otherwise) names the same copy; it is
    // made first, so that the first start, which creates it, resolves it like
    // every later one.
    const QString path = QDir::cleanPath(QDir(GetAppDataPath()).absolutePath());
    QDir().mkpath(path);
    const QString resolved = QFileInfo(path).canonicalFilePath();
    return resolved.isEmpty() ? path : resolved;
}

QString SingleInstance::keyFor(const QString& identity)
{
    // Short enough for a local socket path; per user, like the library default.
    const QByteArray hash =
        QCryptographicHash::hash(identity.toUtf8(), QCryptographicHash::Sha1).toHex().left(16);
    QString user = qEnvironmentVariable("USER");
    if (user.isEmpty())
        user = QStringLiteral("u");
    QByteArray userHash =
        QCryptographicHash::hash(user.toUtf8(), QCryptographicHash::Sha1).toHex().left(6);
    return QStringLiteral("jwshow-%1-%2")
        .arg(QString::fromLatin1(hash), QString::fromLatin1(userHash));
}

bool SingleInstance::isRunning()
{
    if (m_decided)
        return m_running;
    m_decided = true;

    m_lock = std::make_unique<QLockFile>(lockFolder() + QLatin1Char('/') + m_key + ".lock");
    // Only a lock whose owner has died is stale; a live owner holds it however old.
    m_lock->setStaleLockTime(0);
    if (!m_lock->tryLock(0)) {
        m_lock.reset();
        m_running = true;
        return true;
    }

    // We are first. A socket left behind by a killed copy would make listen fail.
    QLocalServer::removeServer(m_key);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_key))
        qWarning("single instance: cannot listen on %s: %s", qPrintable(m_key),
                 qPrintable(m_server->errorString()));
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::onNewConnection);
    m_running = false;
    return false;
}

bool SingleInstance::sendMessage(const QString& message, int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(m_key);
    if (!socket.waitForConnected(timeoutMs))
        return false;
    const QByteArray body = message.toUtf8();
    QByteArray frame;
    QDataStream(&frame, QIODevice::WriteOnly) << quint32(body.size());
    frame += body;
    socket.write(frame);
    if (!socket.waitForBytesWritten(timeoutMs))
        return false;
    if (!socket.waitForReadyRead(timeoutMs))
        return false;
    char ack = 0;
    return socket.read(&ack, 1) == 1 && ack == kAck;
}

void SingleInstance::onNewConnection()
{
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        // A peer that never completes its message is dropped after a while.
        QTimer::singleShot(10000, socket, [socket] { socket->abort(); });
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (socket->bytesAvailable() < 4)
                return;
            quint32 size = 0;
            QDataStream(socket->peek(4)) >> size;
            if (size > kMaxMessage) {
                socket->abort();
                return;
            }
            if (socket->bytesAvailable() < qint64(4 + size))
                return;
            socket->read(4);
            const QString message = QString::fromUtf8(socket->read(size));
            socket->write(&kAck, 1);
            socket->flush();
            emit messageReceived(message);
        });
    }
}
