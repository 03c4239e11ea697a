#include "web/webserver.h"

#include "server/controlserver.h"

#include "base/jwlog.h"
#include "base/picturedecode.h"
#include "web/httpconnection.h"
#include "web/webpage.h"

#include <QFile>
#include <QFileInfo>
#include <QTcpSocket>
#include <QWebSocket>

namespace web
{

namespace
{
QString peerKey(const QHostAddress& address, quint16 port)
{
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    return (mapped ? QHostAddress(v4).toString() : address.toString()) + ':' +
           QString::number(port);
}

// The one of the candidates to give up for a newcomer: the oldest of the address
// that holds the most of them.
template <class T> T* oldestOfBusiestAddress(const std::vector<T*>& candidates)
{
    QHash<QString, int> perAddress;
    for (const T* c : candidates)
        ++perAddress[c->address()];
    T* victim = nullptr;
    int victimCount = 0;
    for (T* c : candidates) {
        const int count = perAddress.value(c->address());
        if (!victim || count > victimCount ||
            (count == victimCount && c->arrival() < victim->arrival())) {
            victim = c;
            victimCount = count;
        }
    }
    return victim;
}
} // namespace

WebServer::WebServer(ControlServer& control, PairingGuard& guard, QObject* parent)
    : QObject(parent), tcp_(this),
      ws_(QStringLiteral("jwshow"), QWebSocketServer::NonSecureMode, this), control_(control),
      guard_(guard), hostName_(control.config().hostName)
{
    clock_.start();
    checker_.setMaxThreadCount(1);
    ws_.setMaxPendingConnections(Limits::kMaxPages);
    connect(&tcp_, &QTcpServer::newConnection, this, &WebServer::onNewConnection);
    // Out of descriptors, the listener stays ready and would be polled in a
    // loop: accepting pauses for a moment instead.
    connect(&tcp_, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError) {
        tcp_.pauseAccepting();
        QTimer::singleShot(100, this, [this] { tcp_.resumeAccepting(); });
    });
    connect(&ws_, &QWebSocketServer::newConnection, this, &WebServer::onNewPage);
    pingTimer_.setInterval(Limits::kPingIntervalMs);
    connect(&pingTimer_, &QTimer::timeout, this, &WebServer::onPingTimer);
}

WebServer::~WebServer()
{
    closeAll();
    checker_.clear();
    checker_.waitForDone();
    // Connections already on their way out (refused, or deleted later) are still
    // children; they go now, while the sets they leave are still there.
    qDeleteAll(findChildren<HttpConnection*>(QString(), Qt::FindDirectChildrenOnly));
    qDeleteAll(findChildren<WebPage*>(QString(), Qt::FindDirectChildrenOnly));
}

bool WebServer::listen(quint16 port)
{
    closeAll();
    if (!tcp_.listen(QHostAddress::AnyIPv4, port)) {
        JWLOG::error(
            QStringLiteral("web: cannot listen on %1: %2").arg(port).arg(tcp_.errorString()));
        return false;
    }
    JWLOG::debug(QStringLiteral("web: listening on %1").arg(port));
    return true;
}

void WebServer::closeAll()
{
    tcp_.close();
    // Each goes from the sets when it is deleted, so the sets are copied first.
    const std::set<WebPage*> pages = pages_;
    for (WebPage* p : pages)
        delete p;
    const std::set<HttpConnection*> http = http_;
    for (HttpConnection* c : http)
        delete c;
    for (const QPointer<QTcpSocket>& s : upgrading_) {
        if (s)
            s->deleteLater();
    }
    upgrading_.clear();
    pingTimer_.stop();
}

void WebServer::onNewConnection()
{
    while (QTcpSocket* socket = tcp_.nextPendingConnection()) {
        if (int(http_.size()) >= Limits::kMaxHttpConnections) {
            HttpConnection* victim =
                oldestOfBusiestAddress(std::vector<HttpConnection*>(http_.begin(), http_.end()));
            JWLOG::debug("web: too many connections, one from " + victim->address() + " closed");
            http_.erase(victim);
            victim->finish();
        }
        http_.insert(new HttpConnection(socket, this, ++arrivals_, this));
    }
}

bool WebServer::makeRoomForPage()
{
    // Handshakes that failed left nothing behind but their entries.
    for (auto it = upgrading_.begin(); it != upgrading_.end();)
        it = it.value() ? std::next(it) : upgrading_.erase(it);
    if (int(pages_.size() + upgrading_.size()) < Limits::kMaxPages)
        return true;
    std::vector<WebPage*> waiting;
    for (WebPage* p : pages_) {
        if (!p->loggedIn())
            waiting.push_back(p);
    }
    if (waiting.empty())
        return false;
    WebPage* victim = oldestOfBusiestAddress(waiting);
    JWLOG::debug("web: too many pages, one from " + victim->address() + " closed");
    // Out of the count now; the close itself takes a moment.
    pages_.erase(victim);
    victim->closeWith(QWebSocketProtocol::CloseCodePolicyViolated,
                      QStringLiteral("too many pages"));
    return true;
}

void WebServer::upgrade(QTcpSocket* socket)
{
    // Whatever happens to the handshake, the socket is deleted: by the page that
    // takes it over, or by the WebSocket server when the handshake fails.
    upgrading_.insert(peerKey(socket->peerAddress(), socket->peerPort()), socket);
    ws_.handleConnection(socket);
}

void WebServer::onNewPage()
{
    while (QWebSocket* socket = ws_.nextPendingConnection()) {
        const QPointer<QTcpSocket> tcp =
            upgrading_.take(peerKey(socket->peerAddress(), socket->peerPort()));
        pages_.insert(new WebPage(socket, tcp, this, ++arrivals_, this));
    }
    if (!pages_.empty() && !pingTimer_.isActive())
        pingTimer_.start();
}

void WebServer::onPingTimer()
{
    const qint64 now = nowMs();
    const std::set<WebPage*> pages = pages_;
    for (WebPage* p : pages)
        p->keepAlive(now);
    if (pages_.empty())
        pingTimer_.stop();
}

void WebServer::pageLoggedIn(WebPage* page)
{
    for (WebPage* other : pages_) {
        if (other != page && other->controller() == page->controller())
            other->closeWith(WebPage::kReplaced, QStringLiteral("replaced"));
    }
}

QByteArray WebServer::asset(const QByteArray& name)
{
    auto it = assets_.find(name);
    if (it != assets_.end())
        return *it;
    const QString path = QStringLiteral(":/web/") + QString::fromLatin1(name);
    if (!QFileInfo(path).isFile())
        return QByteArray();
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    QByteArray bytes = f.readAll();
    // Never a null array for a file that exists, even an empty one.
    if (bytes.isNull())
        bytes = QByteArray("");
    assets_.insert(name, bytes);
    return bytes;
}

bool WebServer::reserveUpload(const QString& address, qint64 bytes)
{
    const qint64 held = uploadsByAddress_.value(address);
    if (uploadsInFlight_ + bytes > Limits::kMaxUploadsInFlight ||
        (held > 0 && held + bytes > Limits::kMaxUploadsPerAddress))
        return false;
    uploadsByAddress_[address] = held + bytes;
    uploadsInFlight_ += bytes;
    return true;
}

void WebServer::releaseUpload(const QString& address, qint64 bytes)
{
    if (bytes == 0)
        return;
    uploadsInFlight_ -= bytes;
    const qint64 left = uploadsByAddress_.value(address) - bytes;
    if (left > 0)
        uploadsByAddress_[address] = left;
    else
        uploadsByAddress_.remove(address);
}

void WebServer::checkPicture(const QByteArray& bytes, QObject* context,
                             std::function<void(bool, const QByteArray&)> done)
{
    QPointer<QObject> guard(context);
    checker_.start([this, bytes, guard, done = std::move(done)] {
        QByteArray format;
        const bool ok = CheckPicture(bytes, &format) && !UploadStore::typeOf(format).isEmpty();
        QMetaObject::invokeMethod(
            this,
            [guard, done, ok, format] {
                if (guard)
                    done(ok, format);
            },
            Qt::QueuedConnection);
    });
}

} // namespace web
