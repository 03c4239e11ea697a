#pragma once
// The browser remote's server, on the web thread: one TCP port for the page, its
// assets, picture uploads and the page's WebSocket. Every object here lives on
// that thread; the rest of the program reaches the pages only through the socket
// server's numbers (ExternalLink).

#include "server/pairingguard.h"
#include "web/uploadstore.h"
#include "web/webhost.h"

#include <QElapsedTimer>
#include <QHash>
#include <QImage>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QThreadPool>
#include <QTimer>
#include <QWebSocketServer>
#include <functional>
#include <map>
#include <set>

class ControlServer;
class QTcpSocket;

namespace web
{

class HttpConnection;
class WebPage;

class WebServer : public QObject, public WebHost
{
    Q_OBJECT
public:
    // Its pages are controllers of the control server; the server and the guard
    // are start-up's and outlive this one.
    // keepMs: how long a page that went away keeps its controller.
    WebServer(ControlServer& control, PairingGuard& guard, int keepMs = Limits::kKeepMs,
              QObject* parent = nullptr);
    ~WebServer() override;

    // Listens on 0.0.0.0:port; a server already listening moves, and its pages and
    // requests are closed.
    bool listen(quint16 port);
    void closeAll();
    // The picture now shown: its small copy goes to every page that takes reports,
    // and to each that logs in later.
    void setPicture(const QImage& picture);

    // For the connections and pages.
    qint64 nowMs() const override { return clock_.elapsed(); }
    quint16 port() const override { return tcp_.serverPort(); }
    const QString& hostName() const override { return hostName_; }
    PairingGuard& guard() override { return guard_; }
    ControlServer& control() override { return control_; }
    UploadStore& uploads() override { return uploads_; }
    QByteArray asset(const QByteArray& name) override;
    QByteArray helpPage(const QByteArray& language) override;
    bool makeRoomForPage() override;
    void upgrade(QTcpSocket* socket) override;
    bool reserveUpload(const QString& address, qint64 bytes) override;
    void releaseUpload(const QString& address, qint64 bytes) override;
    void checkPicture(const QByteArray& bytes, QObject* context,
                      std::function<void(bool ok, const QByteArray& format)> done) override;
    std::vector<SOCKET> pageLoggedIn(WebPage* page) override;
    void keep(SOCKET id, const std::shared_ptr<PageLink>& link, const QString& from,
              const QString& address, quint64 arrival) override;
    QByteArray helloReport(const QString& to, bool kept) override;
    QByteArray pictureReport() override { return pictureReport_; }
    void forget(HttpConnection* c) override { http_.erase(c); }
    void forget(WebPage* p) override { pages_.erase(p); }

private:
    // The number of a page that went away, kept for its controller.
    struct Kept {
        SOCKET id;
        std::shared_ptr<PageLink> link;
        QString from, where;
        quint64 since;
        QString address() const { return where; }
        quint64 arrival() const { return since; }
    };
    void endKept(SOCKET id);
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
    std::map<SOCKET, Kept> kept_; // count as pages: a reload escapes no bound
    const int keepMs_;
    QByteArray pictureReport_;
    // Sockets handed to the WebSocket server, by peer, until their page appears:
    // the page needs the socket to see how much it has not written yet.
    QHash<QString, QPointer<QTcpSocket>> upgrading_;
    QHash<QByteArray, QByteArray> assets_;
};

} // namespace web
