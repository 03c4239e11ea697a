#include "server/jwshowservice.h"

#include "app/appglobals.h"
#include "app/jwlog.h"
#include "server/jwdatamanage.h"
#include "server/jwdebug.h"
#include "server/jwusermanage.h"
#include "server/packetsplitter.h"
#include "protocol/protocol.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QMutex>
#include <QMutexLocker>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace
{
constexpr int kReadSize = 2048;
constexpr int kBacklog = 20;
constexpr int kPollMs = 300;
constexpr int kBacklogPollMs = 20; // how often a full dispatcher queue is looked at again
constexpr int kSendTimeoutMs = 2000;
constexpr int kAcceptBackoffMs = 100;
constexpr int kAcceptsPerPass = 64;

QString errnoText(int e)
{
    return QString::fromLocal8Bit(std::strerror(e));
}

// One accepted connection. The descriptor is closed when the last holder lets go,
// so a sender that looked the connection up can finish its write even while the
// server thread drops the connection: the number can never be reused under it.
struct Connection {
    Connection(int f, SOCKET i) : fd(f), id(i) {}
    ~Connection() { ::close(fd); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    const int fd;
    const SOCKET id;
    QMutex sendLock;               // whole texts leave one after another
    std::atomic<bool> shut{false}; // shut down by us: the next read closes it
    PacketSplitter splitter;       // used by the server thread only
};

// Writes all bytes. The socket's send timeout ends a write that makes no
// progress for kSendTimeoutMs; a peer that only trickles (each send returns
// part of the text after waiting) is cut off once a text has taken that long.
// Returns 0 on success, else the errno.
int writeAll(int fd, const char* p, qint64 len)
{
    QElapsedTimer since;
    since.start();
    while (len > 0) {
        const ssize_t n = ::send(fd, p, size_t(len), MSG_NOSIGNAL);
        if (n > 0) {
            p += n;
            len -= n;
            if (len > 0 && since.elapsed() >= kSendTimeoutMs)
                return ETIMEDOUT;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return ETIMEDOUT;
        return n < 0 ? errno : EPIPE;
    }
    return 0;
}

void setIntOpt(int fd, int level, int name, int value)
{
    ::setsockopt(fd, level, name, &value, sizeof value);
}
} // namespace

struct JWShowService::Private {
    int listenFd = -1;
    int wakeFd = -1;
    quint16 port = 0;
    int listenPort = 0;
    std::atomic<bool> serving{true};
    std::atomic<bool> stopRequested{false};

    // Written only by the server thread (and by Terminate while it is stopped);
    // read by any thread under the lock.
    mutable QMutex connLock;
    std::map<SOCKET, std::shared_ptr<Connection>> conns;
    SOCKET nextId = 1;

    std::shared_ptr<Connection> find(SOCKET s) const
    {
        QMutexLocker l(&connLock);
        auto it = conns.find(s);
        return it == conns.end() ? nullptr : it->second;
    }
    void wake()
    {
        const quint64 one = 1;
        if (wakeFd >= 0)
            (void)!::write(wakeFd, &one, sizeof one);
    }
};

namespace
{
std::atomic<JWShowService*> s_instance{nullptr};
}

JWShowService* JWShowService::GetInstance()
{
    static std::once_flag once;
    // Deliberately never destroyed: the server thread may still run at exit, and
    // destroying a running QThread aborts the process.
    std::call_once(once, [] { s_instance = new JWShowService; });
    return s_instance;
}

JWShowService::JWShowService() : d(new Private)
{
    d->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

JWShowService::~JWShowService()
{
    d->stopRequested = true;
    d->wake();
    wait();
    d->conns.clear();
    if (d->listenFd >= 0)
        ::close(d->listenFd);
    if (d->wakeFd >= 0)
        ::close(d->wakeFd);
    delete d;
}

bool JWShowService::Init(int port)
{
    JWLOG::debug("listen port:" + QString::number(port));
    qCDebug(lcJwShow) << "listening:" << port;
    // Port 0 would listen on a port nobody is told of, and a larger number would
    // wrap to an unrelated port: both fail like a port that cannot be bound, so
    // the caller's fallback ports are tried.
    if (port <= 0 || port > 65535) {
        JWLOG::error("error : bind error:" + QString::number(EINVAL));
        WriteLogWindow(QStringLiteral("bind error"));
        return false;
    }
    d->port = quint16(port);

    // Close-on-exec: the companion started later must not inherit our sockets
    // (it would keep the port and the phones' connections alive after we quit).
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
    if (fd < 0) {
        const int e = errno;
        JWLOG::error("error : bind error:" + QString::number(e));
        WriteLogWindow(QStringLiteral("bind error"));
        return false;
    }
    // Linux refuses to bind a port that still has connections in TIME_WAIT (after
    // a restart or a port change); a live listener on the port still fails.
    setIntOpt(fd, SOL_SOCKET, SO_REUSEADDR, 1);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(d->port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        const int e = errno;
        ::close(fd);
        JWLOG::error("error : bind error:" + QString::number(e));
        WriteLogWindow(QStringLiteral("bind error"));
        return false;
    }
    if (::listen(fd, kBacklog) < 0) {
        const int e = errno;
        ::close(fd);
        JWLOG::error("error : listen error:" + QString::number(e));
        WriteLogWindow(QStringLiteral("listen error"));
        return false;
    }
    qCDebug(lcJwShow) << "listening on port:" << d->port;

    // A second Init while serving moves the listener; the connections stay.
    if (isRunning()) {
        d->stopRequested = true;
        d->wake();
        wait();
    }
    if (d->listenFd >= 0)
        ::close(d->listenFd);
    d->listenFd = fd;
    d->listenPort = d->port;
    d->stopRequested = false;
    d->serving = true;
    start(QThread::InheritPriority);
    return true;
}

void JWShowService::Stop()
{
    d->serving = false;
    d->wake();
    if (QThread::currentThread() != this)
        wait(200);
}

void JWShowService::Terminate()
{
    JWShowService* self = s_instance;
    if (!self)
        return;
    Private* d = self->d;
    d->stopRequested = true;
    d->wake();
    if (QThread::currentThread() != self)
        self->wait();
    if (d->listenFd >= 0) {
        ::close(d->listenFd);
        d->listenFd = -1;
    }
    d->listenPort = 0;
    std::map<SOCKET, std::shared_ptr<Connection>> dropped;
    {
        QMutexLocker l(&d->connLock);
        dropped.swap(d->conns);
    }
    // Senders still holding a connection keep its descriptor until they finish;
    // shutting it down makes them fail fast instead of waiting for a timeout.
    for (auto& c : dropped) {
        ::shutdown(c.second->fd, SHUT_RDWR);
        // Normally the registry was emptied just before; a controller left in it
        // would point at a connection that no longer exists.
        JwUserManage::GetInstance()->RemoveUserBySocket(c.first);
    }
    d->stopRequested = false;
}

bool JWShowService::Send(SOCKET sock, const QByteArray& bytes)
{
    std::shared_ptr<Connection> c = d->find(sock);
    if (!c || c->shut)
        return false;
    QMutexLocker l(&c->sendLock);
    const int e = writeAll(c->fd, bytes.constData(), bytes.size());
    if (e == 0)
        return true;
    if (e == ETIMEDOUT) {
        // A controller that stopped reading: give it up rather than stall every
        // later reply to it; the server thread closes it on its next pass.
        JWLOG::debug("send error::timeout, connection shut down:" + QString::number(sock));
        qWarning() << "send timed out, shutting down connection" << sock;
        c->shut = true;
        ::shutdown(c->fd, SHUT_RDWR);
        d->wake();
    }
    return false;
}

void JWShowService::Shutdown(SOCKET sock)
{
    std::shared_ptr<Connection> c = d->find(sock);
    if (!c)
        return;
    c->shut = true;
    ::shutdown(c->fd, SHUT_RDWR);
    d->wake();
}

int JWShowService::ListenPort() const
{
    return d->listenPort;
}

int JWShowService::ConnectionCount() const
{
    QMutexLocker l(&d->connLock);
    return int(d->conns.size());
}

void JWShowService::run()
{
    qCDebug(lcJwShow) << "start accept";
    JWLOG::debug("start accept");
    JWdataManage* dm = JWdataManage::GetInstance();
    JwUserManage* users = JwUserManage::GetInstance();

    std::vector<pollfd> fds;
    std::vector<std::shared_ptr<Connection>> watched;
    char buf[kReadSize];
    QElapsedTimer backoff; // running while accept is paused after EMFILE/ENFILE

    auto closeConnection = [&](const std::shared_ptr<Connection>& c) {
        JWLOG::debug("client close:");
        WriteLogWindow(QStringLiteral("connect closed."));
        users->RemoveUserBySocket(c->id);
        QMutexLocker l(&d->connLock);
        d->conns.erase(c->id);
    };

    while (d->serving && !d->stopRequested) {
        const bool acceptPaused = backoff.isValid() && backoff.elapsed() < kAcceptBackoffMs;
        if (!acceptPaused)
            backoff.invalidate();

        // Every connection is watched: poll has no fd_set limit, so no phone waits
        // for others to leave before it is read.
        // While the dispatcher is behind, nothing is read: the controllers' bytes
        // wait in the kernel and TCP slows the writers down.
        const bool backlogged = dm->Backlogged();
        fds.clear();
        watched.clear();
        fds.push_back({d->wakeFd, POLLIN, 0});
        fds.push_back({acceptPaused ? -1 : d->listenFd, POLLIN, 0});
        {
            QMutexLocker l(&d->connLock);
            for (auto& kv : d->conns) {
                fds.push_back({kv.second->fd, short(backlogged ? 0 : POLLIN), 0});
                watched.push_back(kv.second);
            }
        }
        int timeout = kPollMs;
        if (acceptPaused)
            timeout = int(qMax<qint64>(1, kAcceptBackoffMs - backoff.elapsed()));
        if (backlogged)
            timeout = qMin(timeout, kBacklogPollMs);
        const int n = ::poll(fds.data(), nfds_t(fds.size()), timeout);
        if (n < 0) {
            const int e = errno;
            if (e == EINTR)
                continue;
            const QString msg = QString::number(e) + ":" + errnoText(e);
            JWLOG::debug("select ret < 0 : errno:" + msg);
            qCDebug(lcJwShow).noquote() << "select ret < 0 : errno:" + msg;
            break;
        }
        if (n == 0)
            continue;
        if (fds[0].revents) {
            quint64 drain;
            (void)!::read(d->wakeFd, &drain, sizeof drain);
        }

        for (size_t i = 0; i < watched.size(); ++i) {
            const short re = fds[i + 2].revents;
            if (!re)
                continue;
            const std::shared_ptr<Connection>& c = watched[i];
            if (c->shut) {
                // Shut down by a logout, a disconnect or a stuck send: whatever
                // it still sent is not carried out.
                closeConnection(c);
                continue;
            }
            const ssize_t got = ::recv(c->fd, buf, sizeof buf, MSG_DONTWAIT);
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
                continue;
            if (got <= 0) {
                closeConnection(c);
                continue;
            }
            qCDebug(lcJwShow) << " RECV new data ";
            const QByteArray raw(buf, int(::strnlen(buf, size_t(got))));
            const QString text = QString::fromUtf8(raw);
            qCDebug(lcJwShow).noquote() << "recv Data:" + text;
            JWLOG::debug("recv Data:" + text);
            for (const QString& piece : c->splitter.feed(buf, int(got)))
                dm->AddData(JwMess{piece, c->id, QString()});
        }

        if (fds[1].fd >= 0 && fds[1].revents) {
            for (int k = 0; k < kAcceptsPerPass; ++k) {
                sockaddr_in peer{};
                socklen_t plen = sizeof peer;
                const int fd =
                    ::accept4(d->listenFd, reinterpret_cast<sockaddr*>(&peer), &plen, SOCK_CLOEXEC);
                if (fd < 0) {
                    const int e = errno;
                    if (e == EAGAIN || e == EWOULDBLOCK || e == EINTR || e == ECONNABORTED)
                        break;
                    std::perror("accept error");
                    JWLOG::debug(
                        "accept error:" +
                        QStringLiteral("%1 :client conut:%2").arg(e).arg(ConnectionCount()));
                    WriteLogWindow(QStringLiteral("accept error"));
                    // Out of descriptors: the listener stays readable, so polling it
                    // again at once would only spin. Give the system a moment.
                    if (e == EMFILE || e == ENFILE || e == ENOBUFS || e == ENOMEM)
                        backoff.start();
                    break;
                }
                setIntOpt(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
                setIntOpt(fd, IPPROTO_TCP, TCP_KEEPIDLE, 10);
                setIntOpt(fd, IPPROTO_TCP, TCP_KEEPINTVL, 5);
                setIntOpt(fd, IPPROTO_TCP, TCP_KEEPCNT, 3);
                // Every text leaves in one send; holding a small report back until
                // the phone acknowledges the previous reply (Nagle against delayed
                // ACKs) would only add up to a phone's ACK delay to it.
                setIntOpt(fd, IPPROTO_TCP, TCP_NODELAY, 1);
                timeval tv{kSendTimeoutMs / 1000, (kSendTimeoutMs % 1000) * 1000};
                ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);

                auto c = std::make_shared<Connection>(fd, d->nextId++);
                if (d->nextId == 0) // 0 means "no connection"
                    d->nextId = 1;
                // The greeting goes out before the connection is visible to senders,
                // so it is always the first thing a controller reads.
                const QByteArray greeting = QByteArray(proto::kIdentity) + "-" +
                                            proto::kProtoVersion + "-" + g_computerName.toUtf8();
                writeAll(fd, greeting.constData(), greeting.size());
                int count;
                {
                    QMutexLocker l(&d->connLock);
                    d->conns.emplace(c->id, c);
                    count = int(d->conns.size());
                }
                char ip[INET_ADDRSTRLEN] = {0};
                ::inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
                const int peerPort = ntohs(peer.sin_port);
                qCDebug(lcJwShow) << "new connection client:" << count;
                qCDebug(lcJwShow) << "new connection addr:" << ip;
                qCDebug(lcJwShow) << "new connection Port:" << peerPort;
                const QString line = QStringLiteral("new connection count:%1:addr:%2:Port:%3")
                                         .arg(count)
                                         .arg(QString::fromLatin1(ip))
                                         .arg(peerPort);
                WriteLogWindow(line);
                JWLOG::debug(line);
            }
        }
    }
    watched.clear();
}
