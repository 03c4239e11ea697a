#include "httpserver.h"

#include <QHostAddress>
#include <QMetaObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

class HttpServerWorker : public QObject
{
    Q_OBJECT
public:
    explicit HttpServerWorker(TestHttpServer* owner) : m_owner(owner) {}

public slots:
    quint16 listen()
    {
        m_server = new QTcpServer(this);
        connect(m_server, &QTcpServer::newConnection, this, &HttpServerWorker::accept);
        if (!m_server->listen(QHostAddress::LocalHost, 0))
            return 0;
        return m_server->serverPort();
    }

private:
    void accept()
    {
        while (QTcpSocket* socket = m_server->nextPendingConnection()) {
            socket->setParent(this);
            m_owner->noteOpen(1);
            connect(socket, &QTcpSocket::disconnected, this, [this, socket]() {
                m_owner->noteOpen(-1);
                socket->deleteLater();
            });
            connect(socket, &QTcpSocket::readyRead, this,
                    [this, socket]() { readRequest(socket); });
        }
    }

    void readRequest(QTcpSocket* socket)
    {
        if (socket->property("answered").toBool()) {
            socket->readAll();
            return;
        }
        QByteArray buffer = socket->property("buffer").toByteArray() + socket->readAll();
        socket->setProperty("buffer", buffer);
        if (!buffer.contains("\r\n\r\n"))
            return;
        socket->setProperty("answered", true);
        const QList<QByteArray> requestLine = buffer.left(buffer.indexOf("\r\n")).split(' ');
        QString path = requestLine.size() >= 2 ? QString::fromLatin1(requestLine.at(1)) : QString();
        m_owner->noteRequest(path);
        TestHttpServer::Route route;
        if (!m_owner->routeFor(path, &route)) {
            route = TestHttpServer::Route();
            route.status = 404;
            route.body = "not found";
            route.contentType = "text/plain";
        }
        QPointer<QTcpSocket> guarded(socket);
        QTimer::singleShot(route.delayMs, this, [this, guarded, route]() {
            if (guarded)
                answer(guarded, route);
        });
    }

    static QByteArray reason(int status)
    {
        switch (status) {
        case 200:
            return "OK";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 404:
            return "Not Found";
        case 500:
            return "Internal Server Error";
        default:
            return "Status";
        }
    }

    void writeHead(QTcpSocket* socket, const TestHttpServer::Route& route, qint64 length)
    {
        QByteArray head = "HTTP/1.1 " + QByteArray::number(route.status) + ' ' +
                          reason(route.status) + "\r\nContent-Type: " + route.contentType +
                          "\r\nConnection: close\r\n";
        if (length >= 0)
            head += "Content-Length: " + QByteArray::number(length) + "\r\n";
        socket->write(head + "\r\n");
    }

    void answer(QTcpSocket* socket, const TestHttpServer::Route& route)
    {
        using B = TestHttpServer::Behaviour;
        switch (route.behaviour) {
        case B::NeverAnswer:
            return;
        case B::Normal:
            writeHead(socket, route, route.body.size());
            socket->write(route.body);
            m_owner->noteSent(route.body.size());
            socket->disconnectFromHost();
            return;
        case B::Truncated: {
            writeHead(socket, route, route.body.size());
            const QByteArray part = route.body.left(route.truncateAt);
            socket->write(part);
            m_owner->noteSent(part.size());
            socket->flush();
            socket->disconnectFromHost();
            return;
        }
        case B::Endless: {
            writeHead(socket, route, route.declaredLength > 0 ? route.declaredLength : -1);
            auto* timer = new QTimer(socket);
            auto sent = std::make_shared<qint64>(0);
            connect(timer, &QTimer::timeout, socket, [this, socket, route, sent, timer]() {
                qint64 n = route.chunkBytes;
                if (route.declaredLength > 0)
                    n = qMin(n, route.declaredLength - *sent);
                if (n <= 0 || socket->state() != QAbstractSocket::ConnectedState) {
                    timer->stop();
                    socket->disconnectFromHost();
                    return;
                }
                // Do not pile up data the client does not read.
                if (socket->bytesToWrite() > 4 * route.chunkBytes)
                    return;
                socket->write(QByteArray(int(n), 'x'));
                *sent += n;
                m_owner->noteSent(n);
            });
            timer->start(route.intervalMs);
            return;
        }
        }
    }

    TestHttpServer* m_owner;
    QTcpServer* m_server = nullptr;
};

TestHttpServer::TestHttpServer() = default;

TestHttpServer::~TestHttpServer()
{
    if (m_thread.isRunning()) {
        m_thread.quit();
        m_thread.wait();
    }
}

bool TestHttpServer::start()
{
    m_worker = new HttpServerWorker(this);
    m_worker->moveToThread(&m_thread);
    QObject::connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread.start();
    quint16 port = 0;
    QMetaObject::invokeMethod(m_worker, "listen", Qt::BlockingQueuedConnection,
                              Q_RETURN_ARG(quint16, port));
    m_port = port;
    return port != 0;
}

QString TestHttpServer::url(const QString& path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path);
}

void TestHttpServer::setRoute(const QString& path, const Route& route)
{
    QMutexLocker lock(&m_lock);
    m_routes.insert(path, route);
}

void TestHttpServer::serve(const QString& path, const QByteArray& body,
                           const QByteArray& contentType, int delayMs)
{
    Route route;
    route.body = body;
    route.contentType = contentType;
    route.delayMs = delayMs;
    setRoute(path, route);
}

QStringList TestHttpServer::requests() const
{
    QMutexLocker lock(&m_lock);
    return m_requests;
}

int TestHttpServer::requestCount(const QString& path) const
{
    QMutexLocker lock(&m_lock);
    return m_requests.count(path);
}

int TestHttpServer::maxConcurrent() const
{
    QMutexLocker lock(&m_lock);
    return m_maxOpen;
}

qint64 TestHttpServer::bytesSent() const
{
    QMutexLocker lock(&m_lock);
    return m_sent;
}

bool TestHttpServer::routeFor(const QString& path, Route* route)
{
    QMutexLocker lock(&m_lock);
    auto it = m_routes.constFind(path);
    if (it == m_routes.constEnd())
        return false;
    *route = it.value();
    return true;
}

void TestHttpServer::noteRequest(const QString& path)
{
    QMutexLocker lock(&m_lock);
    m_requests.append(path);
}

void TestHttpServer::noteOpen(int delta)
{
    QMutexLocker lock(&m_lock);
    m_open += delta;
    m_maxOpen = qMax(m_maxOpen, m_open);
}

void TestHttpServer::noteSent(qint64 bytes)
{
    QMutexLocker lock(&m_lock);
    m_sent += bytes;
}

#include "httpserver.moc"
