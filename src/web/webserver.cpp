#include "web/webserver.h"

#include "server/controlserver.h"

#include "base/appinfo.h"
#include "base/jwlog.h"
#include "base/picturedecode.h"
#include "protocol/protocol.h"
#include "web/helppage.h"
#include "web/httpconnection.h"
#include "web/pagelink.h"
#include "web/pagepicture.h"
#include "web/webpage.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QWebSocket>

namespace web
{

namespace
{
// A report to pages that the web door makes itself, in the dispatcher's form.
QJsonObject reportObject(const char* act)
{
    return QJsonObject{{QLatin1String(proto::kType), QLatin1String(proto::kShowReport)},
                       {QLatin1String(proto::kAct), QLatin1String(act)},
                       {QLatin1String(proto::kId), QLatin1String(proto::kReportId)},
                       {QLatin1String(proto::kFrom), QLatin1String(proto::kIdentity)},
                       {QLatin1String(proto::kTo), QString()},
                       {QLatin1String(proto::kRet), QLatin1String(proto::kOk)},
                       {QLatin1String(proto::kDesc), QString()}};
}

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

WebServer::WebServer(ControlServer& control, PairingGuard& guard, int keepMs, QObject* parent)
    : QObject(parent), tcp_(this),
      ws_(QStringLiteral("jwshow"), QWebSocketServer::NonSecureMode, this), control_(control),
      guard_(guard), hostName_(control.config().hostName), keepMs_(keepMs)
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
    while (!kept_.empty())
        endKept(kept_.begin()->first);
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
    if (int(pages_.size() + upgrading_.size() + kept_.size()) < Limits::kMaxPages)
        return true;
    std::vector<WebPage*> waiting;
    for (WebPage* p : pages_) {
        if (!p->loggedIn())
            waiting.push_back(p);
    }
    if (waiting.empty()) {
        // A controller kept for a page that has not come back ends as it would
        // have without the keeping, rather than a newcomer be refused.
        std::vector<Kept*> kept;
        for (auto& k : kept_)
            kept.push_back(&k.second);
        if (kept.empty())
            return false;
        const Kept* victim = oldestOfBusiestAddress(kept);
        JWLOG::debug("web: too many pages, a kept one from " + victim->address() + " ended");
        endKept(victim->id);
        return true;
    }
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

std::vector<SOCKET> WebServer::pageLoggedIn(WebPage* page)
{
    std::vector<SOCKET> ids;
    // A page that closes may leave the set at once: the loop goes over a copy.
    const std::set<WebPage*> pages = pages_;
    for (WebPage* other : pages) {
        if (other != page && other->loggedIn() && other->controller() == page->controller()) {
            const std::vector<SOCKET> given = other->handOver();
            ids.insert(ids.end(), given.begin(), given.end());
        }
    }
    for (auto it = kept_.begin(); it != kept_.end();) {
        if (it->second.from != page->controller()) {
            ++it;
            continue;
        }
        it->second.link->setKeeper(nullptr);
        ids.push_back(it->first);
        it = kept_.erase(it);
    }
    return ids;
}

void WebServer::keep(SOCKET id, const std::shared_ptr<PageLink>& link, const QString& from,
                     const QString& address, quint64 arrival)
{
    JWLOG::debug(QStringLiteral("web: page %1 gone, its controller kept").arg(id));
    kept_.emplace(id, Kept{id, link, from, address, arrival});
    // Disconnected from the main window meanwhile, it ends at once.
    link->setKeeper([this, id] {
        QMetaObject::invokeMethod(
            this, [this, id] { endKept(id); }, Qt::QueuedConnection);
    });
    QTimer::singleShot(keepMs_, this, [this, id] { endKept(id); });
}

void WebServer::endKept(SOCKET id)
{
    const auto it = kept_.find(id);
    if (it == kept_.end())
        return; // taken over, or ended already
    it->second.link->setKeeper(nullptr);
    kept_.erase(it);
    JWLOG::debug(QStringLiteral("web: kept page %1 did not come back").arg(id));
    control_.sockets().Detach(id);
}

QByteArray WebServer::helloReport(const QString& to, bool kept)
{
    QJsonObject o = reportObject(proto::kActHello);
    o.insert(QLatin1String(proto::kTo), to);
    o.insert(QLatin1String(proto::kValue), QLatin1String(kept ? proto::kKept : proto::kNew));
    o.insert(QLatin1String(proto::kName), QString::fromUtf8(jw::kProductName));
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

void WebServer::setPicture(const QImage& picture)
{
    const QByteArray jpeg = PagePicture(picture, Limits::kPictureSide, Limits::kMaxPictureBytes);
    if (jpeg.isEmpty()) {
        pictureReport_.clear();
        return;
    }
    QJsonObject o = reportObject(proto::kActPicture);
    o.insert(QLatin1String(proto::kWidth), QString::number(picture.width()));
    o.insert(QLatin1String(proto::kHeight), QString::number(picture.height()));
    o.insert(QLatin1String(proto::kUrl),
             QLatin1String("data:image/jpeg;base64,") + QLatin1String(jpeg.toBase64()));
    // Made once, however many pages take it.
    pictureReport_ = QJsonDocument(o).toJson(QJsonDocument::Compact);
    const std::set<WebPage*> pages = pages_;
    for (WebPage* p : pages)
        p->pictureChanged();
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
    // The page is called what the program is called.
    if (name.endsWith(".html"))
        bytes.replace("{{APP}}", jw::kProductName);
    assets_.insert(name, bytes);
    return bytes;
}

QByteArray WebServer::helpPage(const QByteArray& language)
{
    HelpFacts facts;
    facts.port = control_.sockets().ListenPort();
    facts.companionPort = control_.dispatcher().CompanionPort();
    facts.webPort = port();
    return HelpPage(language, facts);
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
