#include "browserproxy.h"

#include "jwinstance.h"

#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <atomic>
#include <sys/socket.h>

// Lives on the proxy's thread; the test's thread reaches it only through
// blocking queued calls.
class BrowserRelay : public QObject
{
public:
    quint16 target = 0;
    std::atomic<int> accepted{0};

    bool listen(quint16 port)
    {
        if (!server) {
            server = new QTcpServer(this);
            connect(server, &QTcpServer::newConnection, this, &BrowserRelay::take);
        }
        return server->isListening() || server->listen(QHostAddress::LocalHost, port);
    }
    quint16 port() const { return server ? server->serverPort() : 0; }
    void cut()
    {
        server->close();
        for (QTcpSocket* s : findChildren<QTcpSocket*>()) {
            // No lingering: the peer gets a reset, as from a network that went away.
            const linger hard{1, 0};
            ::setsockopt(int(s->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            s->abort();
            s->deleteLater();
        }
    }

private:
    QTcpServer* server = nullptr;

    void take()
    {
        while (QTcpSocket* in = server->nextPendingConnection()) {
            ++accepted;
            in->setParent(this);
            auto* out = new QTcpSocket(this);
            pipe(in, out), pipe(out, in);
            // Written before the connection is up, the bytes wait in out's buffer.
            out->connectToHost(QHostAddress::LocalHost, target);
        }
    }
    void pipe(QTcpSocket* from, QTcpSocket* to)
    {
        const QPointer<QTcpSocket> peer(to);
        connect(from, &QTcpSocket::readyRead, this, [from, peer] {
            const QByteArray bytes = from->readAll();
            if (peer)
                peer->write(bytes);
        });
        auto close = [from, peer] {
            if (peer)
                peer->disconnectFromHost();
            from->deleteLater();
        };
        connect(from, &QTcpSocket::disconnected, this, close);
        connect(from, &QTcpSocket::errorOccurred, this, close);
    }
};

BrowserProxy::~BrowserProxy()
{
    if (relay_)
        QMetaObject::invokeMethod(
            relay_, [this] { delete relay_; }, Qt::BlockingQueuedConnection);
    thread_.quit();
    thread_.wait();
}

bool BrowserProxy::start(quint16 target)
{
    relay_ = new BrowserRelay;
    relay_->target = target;
    relay_->moveToThread(&thread_);
    thread_.start();
    const quint16 port = jwtest::freePort();
    bool ok = false;
    QMetaObject::invokeMethod(
        relay_, [&] { ok = relay_->listen(port), port_ = relay_->port(); },
        Qt::BlockingQueuedConnection);
    return ok;
}

void BrowserProxy::cut()
{
    QMetaObject::invokeMethod(
        relay_, [this] { relay_->cut(); }, Qt::BlockingQueuedConnection);
}

bool BrowserProxy::resume()
{
    bool ok = false;
    QMetaObject::invokeMethod(
        relay_, [&] { ok = relay_->listen(port_); }, Qt::BlockingQueuedConnection);
    return ok;
}

int BrowserProxy::accepted() const
{
    return relay_ ? relay_->accepted.load() : 0;
}
