#pragma once
// One HTTP connection of the browser remote until it ends or becomes a page's
// WebSocket: request heads, the page files, uploads and uploaded pictures.
// Web thread only.

#include "web/webhttp.h"

#include <QObject>
#include <QTimer>

class QTcpSocket;

namespace web
{

class WebHost;

class HttpConnection : public QObject
{
    Q_OBJECT
public:
    // Takes the socket; arrival orders the connections and pages by age.
    // A child of parent (the server's object); takes the socket.
    HttpConnection(QTcpSocket* socket, WebHost* server, quint64 arrival, QObject* parent);
    ~HttpConnection() override;

    QString address() const { return address_; } // the peer's
    quint64 arrival() const { return arrival_; }
    void finish(); // closes and goes

private:
    enum State { Head, Body, Checking, Writing, Draining, Done };

    void onReadyRead();
    void onBytesWritten();
    void onTimeout();
    void readHead();
    void route(const HttpRequest& request);
    void serveFile(const HttpRequest& request, const QByteArray& body, const QByteArray& type,
                   const QList<QByteArray>& extra);
    void beginUpload(const HttpRequest& request);
    void readBody();
    void bodyChecked(bool ok, const QByteArray& format);
    // Writes an answer; the connection then reads the next request or closes.
    void respond(int status, const QByteArray& type, const QByteArray& body, bool keepAlive,
                 const QList<QByteArray>& extra = {}, bool headOnly = false);
    // A refusal: the answer, then the connection closes. Whatever the client
    // still sends is read and dropped for a moment first, so that the close does
    // not reset the connection before the client has read the answer.
    void fail(int status, const char* what, const QList<QByteArray>& extra = {});
    void writeMore();
    void answered();

    QTcpSocket* socket_;
    WebHost* server_;
    const QString address_;
    const quint64 arrival_;
    State state_ = Head;
    QTimer timer_;
    bool keepAlive_ = false;
    int requests_ = 0;
    // The body of the answer being written, and how much of it is out.
    QByteArray out_;
    qint64 outOffset_ = 0;
    // The upload being received.
    QByteArray body_;
    qint64 bodyExpected_ = 0;
    qint64 reserved_ = 0;
    QByteArray uploadHost_;
    qint64 drained_ = 0;
    bool expectMore_ = false; // the client may still be sending this request
};

} // namespace web
