#pragma once
// The browser remote's server, on the web thread: one TCP port for the page, its
// assets, picture uploads and the page's WebSocket. Every object here lives on
// that thread; the rest of the program reaches the pages only through the socket
// server's numbers (ExternalLink).

#include "server/pairingguard.h"
#include "web/uploadstore.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QThreadPool>
#include <QTimer>
#include <QWebSocketServer>
#include <functional>
#include <set>

class ControlServer;
class QTcpSocket;

namespace web
{

class HttpConnection;
class WebPage;

// Bounds on what the pages and the requests of any client may cost. When pages or
// connections are at their bound, the address holding the most that have not
// logged in gives up its oldest for a newcomer, so that one address cannot lock
// every other out; a page that logged in is never given up.
struct Limits {
    static constexpr int kMaxPages = 100;           // open page WebSockets
    static constexpr int kMaxHttpConnections = 128; // connections not upgraded
    // One packet from a page, as on TCP (the splitter's bound).
    static constexpr qint64 kMaxMessageBytes = 64 * 1024;
    // Packets a page sent while the dispatcher was behind with its earlier ones;
    // a page never sends this much ahead, so beyond it the page is cut off.
    static constexpr qint64 kMaxHeldInput = 256 * 1024;
    // Upload bodies being received or checked, all connections together. One
    // address holds at most a quarter of it, but its first picture may be of any
    // size: whatever one address holds, another's picture still fits.
    static constexpr qint64 kMaxUploadsInFlight = 128LL * 1024 * 1024;
    static constexpr qint64 kMaxUploadsPerAddress = kMaxUploadsInFlight / 4;
    static constexpr int kHeadTimeoutMs = 10000;  // a request head arrives in this
    static constexpr int kBodyStallMs = 10000;    // an upload body moves at least this often
    static constexpr int kWriteStallMs = 10000;   // an answer moves at least this often
    static constexpr int kLoginTimeoutMs = 10000; // a page logs in within this
    static constexpr int kPingIntervalMs = 10000;
    static constexpr int kPageSilenceMs = 25000; // a page that sends nothing is gone
    // A browser sends a pong to each of our pings and no ping of its own. Pings
    // and pongs beyond a burst of this many, or beyond this many a second over
    // time, are a flood (each ping is a pong to write back).
    static constexpr int kControlFrameBurst = 200;
    static constexpr int kControlFramesPerSecond = 100;
};

class WebServer : public QObject
{
    Q_OBJECT
public:
    // Its pages are controllers of the control server; the server and the guard
    // are start-up's and outlive this one.
    WebServer(ControlServer& control, PairingGuard& guard, QObject* parent = nullptr);
    ~WebServer() override;

    // Listens on 0.0.0.0:port; a server already listening moves, and its pages and
    // requests are closed.
    bool listen(quint16 port);
    void closeAll();
    quint16 port() const { return tcp_.serverPort(); }

    // For the connections and pages.
    qint64 nowMs() const { return clock_.elapsed(); }
    // The computer's name, served like its addresses.
    const QString& hostName() const { return hostName_; }
    PairingGuard& guard() { return guard_; }
    ControlServer& control() { return control_; }
    UploadStore& uploads() { return uploads_; }
    // A page file by name (":/web/<name>"); null when there is none.
    QByteArray asset(const QByteArray& name);
    // Whether one more page may open, after giving up a page that has not logged
    // in when all are taken.
    bool makeRoomForPage();
    void upgrade(QTcpSocket* socket); // hands a WebSocket request to the WebSocket server
    bool reserveUpload(const QString& address, qint64 bytes);
    void releaseUpload(const QString& address, qint64 bytes);
    // Decodes the bytes on the checking thread and calls done on this thread,
    // unless context is gone by then.
    void checkPicture(const QByteArray& bytes, QObject* context,
                      std::function<void(bool ok, const QByteArray& format)> done);
    void pageLoggedIn(WebPage* page);
    void forget(HttpConnection* c) { http_.erase(c); }
    void forget(WebPage* p) { pages_.erase(p); }

private:
    void onNewConnection();
    void onNewPage();
    void onPingTimer();

    QElapsedTimer clock_;
    QTcpServer tcp_;
    QWebSocketServer ws_;
    ControlServer& control_;
    PairingGuard& guard_;
    UploadStore uploads_;
    QThreadPool checker_; // one thread: one picture decoded at a time
    const QString hostName_;
    qint64 uploadsInFlight_ = 0;
    QHash<QString, qint64> uploadsByAddress_; // only addresses with an upload in flight
    quint64 arrivals_ = 0;                    // connections and pages accepted so far
    QTimer pingTimer_;
    std::set<HttpConnection*> http_;
    std::set<WebPage*> pages_;
    // Sockets handed to the WebSocket server, by peer, until their page appears:
    // the page needs the socket to see how much it has not written yet.
    QHash<QString, QPointer<QTcpSocket>> upgrading_;
    QHash<QByteArray, QByteArray> assets_;
};

} // namespace web
