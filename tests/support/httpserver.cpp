#include "httpserver.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

bool TestHttpServer::start()
{
    // Made and bound before m_thread starts, so nothing is handed over later but
    // through the thread's start (which a thread checker sees).
    auto* home = new QObject;
    auto* server = new QTcpServer(home);
    QObject::connect(server, &QTcpServer::newConnection, server, [this, server]() {
        while (QTcpSocket* socket = server->nextPendingConnection())
            accept(socket);
    });
    if (server->listen(QHostAddress::LocalHost, 0))
        m_port = server->serverPort();
    home->moveToThread(&m_thread);
    QObject::connect(&m_thread, &QThread::finished, home, &QObject::deleteLater);
    m_thread.start();
    return m_port != 0;
}

// A request is open from its arrival until its answer is handed to the socket (or
// the connection ends), not while a finished connection's close is still queued.
void TestHttpServer::accept(QTcpSocket* socket)
{
    QObject::connect(socket, &QTcpSocket::disconnected, socket, [this, socket]() {
        finish(socket);
        socket->deleteLater();
    });
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket]() {
        const QByteArray request = socket->property("request").toByteArray() + socket->readAll();
        socket->setProperty("request", request);
        if (!request.contains("\r\n\r\n") || socket->property("answered").toBool())
            return;
        socket->setProperty("answered", true);
        socket->setProperty("open", true);
        const QString path = QString::fromLatin1(request.split(' ').value(1));
        QMutexLocker lock(&m_lock);
        m_log.requests.append(path);
        m_log.maxConcurrent = qMax(m_log.maxConcurrent, ++m_log.open);
        const Route route = m_routes.value(path, {"not found", "text/plain", 404});
        QTimer::singleShot(route.delayMs, socket, [this, socket, route]() {
            if (!route.silent)
                answer(socket, route);
        });
    });
}

void TestHttpServer::finish(QTcpSocket* socket)
{
    if (!socket->property("open").toBool())
        return;
    socket->setProperty("open", false);
    QMutexLocker lock(&m_lock);
    --m_log.open;
}

void TestHttpServer::answer(QTcpSocket* socket, const Route& route)
{
    const bool stream = route.chunkBytes > 0;
    const qint64 length = route.declaredLength >= 0 ? route.declaredLength
                          : stream                  ? -1
                                                    : route.body.size();
    QByteArray head = "HTTP/1.1 " + QByteArray::number(route.status) +
                      " Status\r\nConnection: close\r\nContent-Type: " + route.contentType + "\r\n";
    if (length >= 0)
        head += "Content-Length: " + QByteArray::number(length) + "\r\n";
    socket->write(head + "\r\n");
    if (!stream) {
        socket->write(route.body);
        socket->disconnectFromHost();
        finish(socket);
        QMutexLocker lock(&m_lock);
        m_log.bytesSent += route.body.size();
        return;
    }
    auto* timer = new QTimer(socket);
    QObject::connect(timer, &QTimer::timeout, socket, [this, socket, route, length, timer]() {
        const qint64 sent = socket->property("sent").toLongLong();
        const qint64 n =
            length >= 0 ? qMin<qint64>(route.chunkBytes, length - sent) : route.chunkBytes;
        if (n <= 0 || socket->state() != QAbstractSocket::ConnectedState) {
            timer->stop();
            socket->disconnectFromHost();
        } else if (socket->bytesToWrite() <= 4 * route.chunkBytes) {
            // Only as fast as the client reads: a reader that stops is not flooded.
            socket->write(QByteArray(int(n), 'x'));
            socket->setProperty("sent", sent + n);
            QMutexLocker lock(&m_lock);
            m_log.bytesSent += n;
        }
    });
    timer->start(route.intervalMs);
}
