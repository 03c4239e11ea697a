#pragma once
// A small HTTP/1.1 server for tests, on 127.0.0.1 in a thread of its own so that
// it answers while the test's thread blocks or spins its own event loop.
// Each registered path answers in one of a few ways, good and bad; every answer
// closes the connection.

#include <QByteArray>
#include <QMap>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QThread>
#include <memory>

class HttpServerWorker;

class TestHttpServer
{
public:
    enum class Behaviour {
        Normal,      // status line, Content-Type, Content-Length, body
        NeverAnswer, // reads the request and keeps the connection open, silent
        Endless,     // announces declaredLength, then sends chunkBytes every intervalMs
        Truncated,   // announces the whole body, sends truncateAt bytes, closes
    };

    struct Route {
        QByteArray body;
        QByteArray contentType = "application/octet-stream";
        int status = 200;
        int delayMs = 0; // before the answer starts
        Behaviour behaviour = Behaviour::Normal;
        qint64 declaredLength = 0; // Endless; 0 means no Content-Length at all
        int chunkBytes = 4096;     // Endless
        int intervalMs = 10;       // Endless
        int truncateAt = 0;        // Truncated
    };

    TestHttpServer();
    ~TestHttpServer();
    TestHttpServer(const TestHttpServer&) = delete;
    TestHttpServer& operator=(const TestHttpServer&) = delete;

    bool start(); // listens on a free port of 127.0.0.1
    quint16 port() const { return m_port; }
    QString url(const QString& path) const; // "http://127.0.0.1:<port><path>"

    void setRoute(const QString& path, const Route& route);
    void serve(const QString& path, const QByteArray& body, const QByteArray& contentType,
               int delayMs = 0);

    // Paths in the order their requests arrived (unknown paths included; they get 404).
    QStringList requests() const;
    int requestCount(const QString& path) const;
    // The most connections that were ever open at the same time.
    int maxConcurrent() const;
    // Bytes of bodies sent so far, all routes together.
    qint64 bytesSent() const;

private:
    friend class HttpServerWorker;
    bool routeFor(const QString& path, Route* route);
    void noteRequest(const QString& path);
    void noteOpen(int delta);
    void noteSent(qint64 bytes);

    mutable QMutex m_lock;
    QMap<QString, Route> m_routes;
    QStringList m_requests;
    int m_open = 0;
    int m_maxOpen = 0;
    qint64 m_sent = 0;
    quint16 m_port = 0;
    QThread m_thread;
    HttpServerWorker* m_worker = nullptr; // lives in m_thread, deleted when it ends
};
