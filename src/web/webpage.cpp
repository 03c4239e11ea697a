#include "web/webpage.h"

#include "base/jwlog.h"
#include "protocol/protocol.h"
#include "server/controlserver.h"
#include "server/pairingguard.h"
#include "web/pagelink.h"
#include "web/webhost.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QWebSocket>
#include <mutex>

namespace web
{

namespace
{
// Replies handed to the WebSocket while this much of them waits in its socket;
// the rest waits in the link, where the bounds can see it.
constexpr qint64 kWriteWindow = 64 * 1024;
constexpr int kHoldPollMs = 2;
constexpr int kCloseGraceMs = 2000;

QString hostOf(const QHostAddress& a)
{
    bool mapped = false;
    const quint32 v4 = a.toIPv4Address(&mapped);
    return mapped ? QHostAddress(v4).toString() : a.toString();
}
} // namespace

bool PageLink::send(const QByteArray& bytes, bool flush)
{
    std::lock_guard<std::mutex> l(lock);
    if (!page_ || cut)
        return false;
    outbox.push_back(bytes);
    outboxBytes += bytes.size();
    if (outboxBytes + socketPending > JWShowService::kMaxUnsent) {
        cut = true;
        post();
        return false;
    }
    if (flush)
        post();
    return true;
}

void PageLink::flush()
{
    std::lock_guard<std::mutex> l(lock);
    if (page_ && !outbox.empty())
        post();
}

void PageLink::shutdown()
{
    std::lock_guard<std::mutex> l(lock);
    if (!page_) {
        if (keeper_)
            keeper_();
        return;
    }
    shutdownAsked = true;
    post();
}

void PageLink::release()
{
    std::lock_guard<std::mutex> l(lock);
    page_ = nullptr;
    answered = false; // no reports while nobody takes them
    outbox.clear();
    outboxBytes = 0;
}

void PageLink::setKeeper(std::function<void()> end)
{
    std::lock_guard<std::mutex> l(lock);
    keeper_ = std::move(end);
}

void PageLink::post()
{
    if (posted)
        return;
    posted = true;
    WebPage* page = page_;
    QMetaObject::invokeMethod(
        page, [page] { page->drain(); }, Qt::QueuedConnection);
}

WebPage::WebPage(QWebSocket* socket, QTcpSocket* tcp, WebHost* server, quint64 arrival,
                 QObject* parent)
    : QObject(parent), socket_(socket), tcp_(tcp), server_(server),
      address_(hostOf(socket->peerAddress())), arrival_(arrival),
      link_(std::make_shared<PageLink>(this)), input_(std::make_shared<QueuedInput>())
{
    socket_->setParent(this);
    socket_->setMaxAllowedIncomingMessageSize(quint64(Limits::kMaxMessageBytes));
    socket_->setMaxAllowedIncomingFrameSize(quint64(Limits::kMaxMessageBytes));
    lastSeen_ = server_->nowMs();
    controlCredit_ = qint64(Limits::kControlFrameBurst) * 1000;
    controlCreditAt_ = lastSeen_;
    if (tcp_) {
        tcp_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        // Qt reads the socket in a call queued by readyRead; watchIncoming runs in
        // the signal itself, so it sees every byte before Qt acts on it, and
        // afterQtRead is queued behind Qt's call.
        connect(tcp_, &QTcpSocket::readyRead, this, &WebPage::watchIncoming);
        connect(tcp_, &QTcpSocket::readyRead, this, &WebPage::afterQtRead, Qt::QueuedConnection);
    }
    connect(socket_, &QWebSocket::textMessageReceived, this, &WebPage::onText);
    connect(socket_, &QWebSocket::textFrameReceived, this, &WebPage::onFrame);
    connect(socket_, &QWebSocket::binaryFrameReceived, this,
            [this] { closeWith(QWebSocketProtocol::CloseCodeDatatypeNotSupported, "text only"); });
    connect(socket_, &QWebSocket::pong, this, [this] { lastSeen_ = server_->nowMs(); });
    connect(socket_, &QWebSocket::bytesWritten, this, [this] {
        stallTimer_.start(JWShowService::kStallMs); // progress
        drain();
    });
    connect(socket_, &QWebSocket::disconnected, this, &WebPage::gone);

    holdTimer_.setSingleShot(true);
    connect(&holdTimer_, &QTimer::timeout, this, &WebPage::releaseHeld);
    stallTimer_.setSingleShot(true);
    connect(&stallTimer_, &QTimer::timeout, this, [this] { cutOff("replies not read"); });
    loginTimer_.setSingleShot(true);
    connect(&loginTimer_, &QTimer::timeout, this,
            [this] { closeWith(QWebSocketProtocol::CloseCodePolicyViolated, "no login"); });
    closeTimer_.setSingleShot(true);
    connect(&closeTimer_, &QTimer::timeout, this, [this] { cutOff("close not answered"); });

    if (!tcp_) {
        cutOff("socket not found"); // never served without its frames watched
        return;
    }
    if (server_->guard().isLocked(address_))
        closeWith(kLocked, QStringLiteral("locked"));
    else
        loginTimer_.start(Limits::kLoginTimeoutMs);
    // Frames sent along with the handshake: Qt has queued its reading of them
    // already, so afterQtRead is queued behind it here.
    watchIncoming();
    QMetaObject::invokeMethod(this, &WebPage::afterQtRead, Qt::QueuedConnection);
}

WebPage::~WebPage()
{
    detach();
    server_->forget(this);
}

void WebPage::onFrame(const QString&, bool isLastFrame)
{
    lastSeen_ = server_->nowMs();
    // A packet is one message in one frame; a page never splits one, and pieces
    // would only have to be kept until the rest came.
    if (!isLastFrame)
        closeWith(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("fragmented"));
}

void WebPage::onText(const QString& text)
{
    if (closing_)
        return;
    lastSeen_ = server_->nowMs();
    if (id_ == 0) {
        login(text);
        return;
    }
    // The table lists a page with the address it is seen from, whatever it says.
    if (text.contains(QLatin1String(proto::kLogin))) {
        QJsonObject obj = QJsonDocument::fromJson(text.toUtf8()).object();
        if (obj.value(QLatin1String(proto::kType)).toString() == QLatin1String(proto::kLogin)) {
            obj.insert(QLatin1String(proto::kIp), address_);
            forward(QString::fromUtf8(QJsonDocument(obj).toJson(QJsonDocument::Compact)));
            return;
        }
    }
    forward(text);
}

void WebPage::login(const QString& text)
{
    QJsonObject obj = QJsonDocument::fromJson(text.toUtf8()).object();
    const bool isLogin =
        obj.value(QLatin1String(proto::kType)).toString() == QLatin1String(proto::kLogin);
    const QString code = obj.value(QLatin1String(proto::kPwd)).toString();
    const PairingGuard::Verdict verdict =
        isLogin ? server_->guard().offer(address_, code) : PairingGuard::Verdict::WrongCode;
    if (verdict != PairingGuard::Verdict::Paired) {
        JWLOG::debug("web: pairing refused from " + address_);
        // Locked out since the page opened, or pairing paused: told apart from a
        // wrong code, as at the door.
        if (verdict == PairingGuard::Verdict::Locked)
            closeWith(kLocked, QStringLiteral("locked"));
        else
            closeWith(kBadCode, QStringLiteral("bad code"));
        return;
    }
    loginTimer_.stop();
    from_ = obj.value(QLatin1String(proto::kFrom)).toString();
    reports_ = obj.value(QLatin1String(proto::kReports)).toString() == QLatin1String("1");
    link_->reports = reports_;
    // Older pages of the same controller (a reload, the same phone back after its
    // network came back) give it over to this one.
    handedOver_ = server_->pageLoggedIn(this);
    id_ = server_->control().sockets().Attach(link_);
    JWLOG::debug(QStringLiteral("web: page %1 paired from %2").arg(id_).arg(address_));
    obj.insert(QLatin1String(proto::kIp), address_);
    forward(QString::fromUtf8(QJsonDocument(obj).toJson(QJsonDocument::Compact)));
}

bool WebPage::mustHold() const
{
    return !held_.empty() || input_->cost > JWShowService::kMaxQueuedInput ||
           server_->control().dispatcher().Backlogged() ||
           socketPending() > JWShowService::kMaxUnsentWhileReading;
}

void WebPage::forward(const QString& text)
{
    if (id_ == 0)
        return;
    if (!mustHold()) {
        server_->control().dispatcher().AddPackets(id_, {text}, input_);
        return;
    }
    // The dispatcher is behind with this page's packets: they wait here, as a
    // TCP controller's wait in the kernel, until it catches up.
    held_.push_back(text);
    heldChars_ += text.size();
    if (heldChars_ > Limits::kMaxHeldInput) {
        cutOff("too many packets");
        return;
    }
    if (!holdTimer_.isActive())
        holdTimer_.start(kHoldPollMs);
}

void WebPage::releaseHeld()
{
    if (id_ == 0)
        return;
    QStringList texts;
    qint64 chars = 0;
    while (!held_.empty() && input_->cost + chars <= JWShowService::kMaxQueuedInput &&
           !server_->control().dispatcher().Backlogged()) {
        chars += held_.front().size();
        texts << std::move(held_.front());
        held_.pop_front();
    }
    heldChars_ -= chars;
    if (!texts.isEmpty())
        server_->control().dispatcher().AddPackets(id_, texts, input_);
    if (!held_.empty())
        holdTimer_.start(kHoldPollMs);
}

qint64 WebPage::socketPending() const
{
    return tcp_ ? tcp_->bytesToWrite() : 0;
}

void WebPage::watchIncoming()
{
    if (closing_ || !tcp_)
        return;
    const QByteArray buffered = tcp_->peek(tcp_->bytesAvailable());
    // Qt reads all there is whenever it reads: had it read without afterQtRead
    // behind it, none of what is here was watched yet.
    if (!buffered.startsWith(watchedUnread_)) {
        JWLOG::warning(QStringLiteral("web: frames read unwatched"));
        watchedUnread_.clear();
    }
    const qint64 fresh = buffered.size() - watchedUnread_.size();
    watchedUnread_ = buffered;
    if (fresh <= 0)
        return;
    lastSeen_ = server_->nowMs();
    const FrameWatch::Seen seen =
        watch_.feed(buffered.constData() + buffered.size() - fresh, fresh);
    // Refused before Qt reads them: closing empties the socket's buffer.
    if (seen.unmasked) {
        closeWith(QWebSocketProtocol::CloseCodeProtocolError, QStringLiteral("unmasked frame"));
        return;
    }
    if (controlFlood(seen.controls)) {
        closeWith(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("too many pings"));
        return;
    }
    qint64 unsent = socketPending() + seen.pongBytes;
    {
        std::lock_guard<std::mutex> l(link_->lock);
        unsent += link_->outboxBytes;
    }
    if (unsent > JWShowService::kMaxUnsent)
        cutOff("too many unsent replies");
}

void WebPage::afterQtRead()
{
    if (closing_ || !tcp_)
        return;
    // What Qt left was watched already.
    watchedUnread_ = tcp_->peek(tcp_->bytesAvailable());
    checkUnsent(); // Qt may have written pongs
}

bool WebPage::controlFlood(int controls)
{
    if (controls == 0)
        return false;
    const qint64 now = server_->nowMs();
    controlCredit_ =
        qMin(qint64(Limits::kControlFrameBurst) * 1000,
             controlCredit_ + (now - controlCreditAt_) * Limits::kControlFramesPerSecond);
    controlCreditAt_ = now;
    controlCredit_ -= qint64(controls) * 1000;
    return controlCredit_ < 0;
}

void WebPage::drain()
{
    std::deque<QByteArray> batch;
    bool cut, shut;
    {
        std::lock_guard<std::mutex> l(link_->lock);
        link_->posted = false;
        qint64 room = kWriteWindow - socketPending();
        while (!link_->outbox.empty() && room > 0) {
            room -= link_->outbox.front().size();
            link_->outboxBytes -= link_->outbox.front().size();
            batch.push_back(std::move(link_->outbox.front()));
            link_->outbox.pop_front();
        }
        cut = link_->cut;
        shut = link_->shutdownAsked && link_->outbox.empty();
    }
    if (cut) {
        cutOff("too many unsent replies");
        return;
    }
    if (closing_)
        return;
    for (const QByteArray& text : batch) {
        socket_->sendTextMessage(QString::fromUtf8(text));
        // Nothing reaches a new number before its login's reply (reports wait for
        // it: see PageLink::takesReports).
        if (!answered_)
            loginAnswered();
    }
    // Out now rather than at the next turn of the event loop: a reply waits for
    // nothing else.
    if (!batch.empty())
        socket_->flush();
    checkUnsent();
    if (gone_)
        return;
    sendDuePicture();
    if (shut)
        closeWith(QWebSocketProtocol::CloseCodeNormal, QStringLiteral("disconnected"));
}

qint64 WebPage::unsent()
{
    const qint64 pending = socketPending();
    std::lock_guard<std::mutex> l(link_->lock);
    link_->socketPending = pending;
    return pending + link_->outboxBytes;
}

void WebPage::checkUnsent()
{
    const qint64 unsent = this->unsent();
    if (unsent > JWShowService::kMaxUnsent) {
        cutOff("too many unsent replies");
        return;
    }
    if (unsent == 0)
        stallTimer_.stop();
    else if (!stallTimer_.isActive())
        stallTimer_.start(JWShowService::kStallMs);
}

void WebPage::keepAlive(qint64 nowMs)
{
    if (closing_)
        return;
    if (nowMs - lastSeen_ > Limits::kPageSilenceMs) {
        cutOff("silent");
        return;
    }
    socket_->ping();
}

void WebPage::loginAnswered()
{
    answered_ = true;
    link_->answered = true;
    const bool kept = !handedOver_.empty();
    // The controller has moved to this page's number: the earlier numbers' closes
    // take nothing with them now.
    for (const SOCKET earlier : std::exchange(handedOver_, {}))
        server_->control().sockets().Detach(earlier);
    if (!reports_)
        return;
    socket_->sendTextMessage(QString::fromUtf8(server_->helloReport(from_, kept)));
    const QByteArray picture = server_->pictureReport();
    if (!picture.isEmpty())
        socket_->sendTextMessage(QString::fromUtf8(picture));
}

void WebPage::pictureChanged()
{
    pictureDue_ = true;
    sendDuePicture();
}

// Only the newest copy of the picture matters. Queued behind one another, copies
// of pictures changed faster than a slow phone reads (48 KiB each) filled its
// 1 MiB of unsent replies and cut it off, for reports it never asked for.
void WebPage::sendDuePicture()
{
    constexpr qint64 kRoomForPicture = 16 * 1024; // what may still wait before it
    if (!pictureDue_ || unsent() > kRoomForPicture)
        return; // sent from drain(), once what waits has left
    pictureDue_ = false;
    const QByteArray picture = server_->pictureReport();
    if (!picture.isEmpty())
        report(picture);
}

void WebPage::report(const QByteArray& text)
{
    if (reports_ && answered_ && !closing_)
        link_->send(text, true);
}

std::vector<SOCKET> WebPage::handOver()
{
    std::vector<SOCKET> ids = std::exchange(handedOver_, {});
    if (id_ != 0)
        ids.push_back(std::exchange(id_, 0));
    closeWith(kReplaced, QStringLiteral("replaced"));
    return ids;
}

void WebPage::detach()
{
    link_->release();
    if (id_ != 0) {
        // Its close goes to the dispatcher behind the packets it sent.
        server_->control().sockets().Detach(id_);
        id_ = 0;
    }
    // Gone before its login was handled: the earlier pages end as they would have.
    for (const SOCKET earlier : std::exchange(handedOver_, {}))
        server_->control().sockets().Detach(earlier);
    held_.clear();
    heldChars_ = 0;
    holdTimer_.stop();
    stallTimer_.stop();
    loginTimer_.stop();
}

void WebPage::closeWith(int code, const QString& reason)
{
    if (closing_)
        return;
    closing_ = true;
    detach();
    socket_->close(QWebSocketProtocol::CloseCode(code), reason);
    closeTimer_.start(kCloseGraceMs);
}

void WebPage::cutOff(const char* why)
{
    if (gone_)
        return;
    JWLOG::debug(QStringLiteral("web: page cut off: ") + QLatin1String(why));
    closing_ = true;
    detach();
    socket_->abort();
    gone();
}

void WebPage::gone()
{
    if (gone_)
        return;
    gone_ = true;
    // A page that went away by itself (reloaded, or its phone lost the network)
    // keeps its controller for a while: it may be back at once. One the program
    // closed (a logout, a cut-off) does not.
    if (!closing_ && id_ != 0 && answered_)
        server_->keep(std::exchange(id_, 0), link_, from_, address_, arrival_);
    closing_ = true; // nothing more is read from it
    detach();
    closeTimer_.stop();
    // Out of the count at once: a kept controller takes its place.
    server_->forget(this);
    deleteLater();
}

} // namespace web
