#pragma once
// A small HTTP/1.1 server on 127.0.0.1, on a thread of its own (it answers while
// the test's thread blocks); each path answers as its Route says, then closes.

#include <QMap>
#include <QMutex>
#include <QStringList>
#include <QThread>

class QTcpSocket;

class TestHttpServer
{
public:
    struct Route {
        QByteArray body;
        QByteArray contentType = "application/octet-stream";
        int status = 200;
        int delayMs = 0;     // before the answer starts
        bool silent = false; // reads the request and never answers
        // Content-Length sent: -1 for the body's (none streaming); larger truncates.
        qint64 declaredLength = -1;
        // > 0: streams chunkBytes every intervalMs up to declaredLength or for ever.
        int chunkBytes = 0;
        int intervalMs = 10;
    };
    struct Log {
        QStringList requests;  // paths in order of arrival (unknown ones get 404)
        int open = 0;          // requests not yet fully answered
        int maxConcurrent = 0; // the most requests ever open at once
        qint64 bytesSent = 0;  // body bytes, all routes together
    };

    ~TestHttpServer()
    {
        m_thread.quit();
        m_thread.wait();
    }
    bool start(); // listens on a free port of 127.0.0.1
    QString url(const QString& path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path);
    }
    void setRoute(const QString& path, const Route& route)
    {
        QMutexLocker lock(&m_lock);
        m_routes.insert(path, route);
    }
    void serve(const QString& path, const QByteArray& body, const QByteArray& type, int delayMs = 0)
    {
        setRoute(path, {body, type, 200, delayMs});
    }
    Log log() const
    {
        QMutexLocker lock(&m_lock);
        return m_log;
    }

private:
    // Both run on the server's thread.
    void accept(QTcpSocket* socket);
    void answer(QTcpSocket* socket, const Route& route);
    void finish(QTcpSocket* socket); // the request's answer is out (or its connection gone)

    mutable QMutex m_lock;
    QMap<QString, Route> m_routes;
    Log m_log;
    quint16 m_port = 0;
    QThread m_thread;
};
