#include "web/httpconnection.h"

#include "base/appinfo.h"
#include "base/jwlog.h"
#include "base/picturedecode.h"
#include "server/pairingguard.h"
#include "web/helppage.h"
#include "web/uploadstore.h"
#include "web/webhost.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTcpSocket>

namespace web
{

namespace
{
// Read from the kernel at most this much ahead of what is handled: a client that
// sends faster than it is served is held back by TCP.
constexpr qint64 kReadBuffer = 64 * 1024;
// An answer's body is handed to the socket in pieces while this much waits in it.
constexpr qint64 kWriteWindow = 256 * 1024;
constexpr int kDrainMs = 2000;
constexpr qint64 kMaxDrained = 4 * 1024 * 1024;
constexpr int kMaxRequestsPerConnection = 1000;

bool validName(const QByteArray& name)
{
    static const QRegularExpression kName(QStringLiteral("^[a-z0-9][a-z0-9._-]*$"));
    return !name.contains("..") && kName.match(QString::fromLatin1(name)).hasMatch();
}

QString hostOf(const QHostAddress& a)
{
    bool mapped = false;
    const quint32 v4 = a.toIPv4Address(&mapped);
    return mapped ? QHostAddress(v4).toString() : a.toString();
}

// The page runs only its own files and talks only to us; what a user types is
// shown as a picture at most. host: the Host header, already known to be ours.
QByteArray PagePolicy(const QByteArray& host)
{
    QByteArray sockets;
    if (!host.isEmpty())
        sockets = " ws://" + host + " wss://" + host;
    return "Content-Security-Policy: default-src 'self'; script-src 'self'; style-src 'self'; "
           "img-src 'self' data: blob: http: https:; connect-src 'self'" +
           sockets +
           "; object-src 'none'; frame-ancestors 'none'; base-uri 'none'; form-action 'none'";
}
} // namespace

HttpConnection::HttpConnection(QTcpSocket* socket, WebHost* server, quint64 arrival,
                               QObject* parent)
    : QObject(parent), socket_(socket), server_(server), address_(hostOf(socket->peerAddress())),
      arrival_(arrival)
{
    socket_->setParent(this);
    socket_->setReadBufferSize(kReadBuffer);
    socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(socket_, &QTcpSocket::readyRead, this, &HttpConnection::onReadyRead);
    connect(socket_, &QTcpSocket::bytesWritten, this, &HttpConnection::onBytesWritten);
    connect(socket_, &QTcpSocket::disconnected, this, &HttpConnection::finish);
    connect(&timer_, &QTimer::timeout, this, &HttpConnection::onTimeout);
    timer_.setSingleShot(true);
    timer_.start(Limits::kHeadTimeoutMs);
    if (socket_->bytesAvailable() > 0)
        readHead();
}

HttpConnection::~HttpConnection()
{
    server_->releaseUpload(address_, reserved_);
    server_->forget(this);
}

void HttpConnection::onReadyRead()
{
    switch (state_) {
    case Head:
        readHead();
        break;
    case Body:
        readBody();
        break;
    case Draining:
        drained_ += socket_->skip(socket_->bytesAvailable());
        if (drained_ > kMaxDrained)
            finish();
        break;
    default: // the next request waits until this one is answered
        break;
    }
}

void HttpConnection::onTimeout()
{
    switch (state_) {
    case Head:
        // An idle kept-alive connection just closes; a head cut short is told.
        if (socket_->bytesAvailable() == 0) {
            finish();
        } else {
            expectMore_ = true;
            fail(408, "request head too slow");
        }
        break;
    case Body:
        fail(408, "upload too slow");
        break;
    case Writing:
        JWLOG::debug(QStringLiteral("web: answer not read, connection closed"));
        finish();
        break;
    case Draining:
        socket_->disconnectFromHost();
        state_ = Done;
        timer_.start(1000);
        break;
    case Done:
        finish(); // the close did not complete
        break;
    default:
        break;
    }
}

void HttpConnection::readHead()
{
    expectMore_ = false;
    const QByteArray received = socket_->peek(kMaxHeadBytes + 4);
    const int end = HeadEnd(received);
    if (end < 0) {
        if (received.size() > kMaxHeadBytes) {
            expectMore_ = true;
            fail(431, "request head too large");
        }
        return;
    }
    HttpRequest request;
    const bool ok = ParseHead(received.left(end), &request);
    // A WebSocket request's head stays for the WebSocket server to read.
    if (!ok || request.path != "/ws")
        socket_->skip(end);
    if (!ok) {
        fail(400, "malformed request");
        return;
    }
    // A page of another site reaches us through the user's browser: by a name
    // its DNS points here (rebinding), or by its scripts from its own origin.
    const QByteArray host = request.header("host");
    const bool hasHost = request.headerCount("host") > 0;
    if (!hasHost && request.version != "HTTP/1.0") {
        fail(400, "host required");
        return;
    }
    if (hasHost && !IsOurHost(host, server_->hostName())) {
        fail(421, "not a name of this computer");
        return;
    }
    if (request.headerCount("origin") > 0 && !IsOwnOrigin(request.header("origin"), host)) {
        fail(403, "foreign page");
        return;
    }
    ++requests_;
    keepAlive_ = request.keepAlive() && requests_ < kMaxRequestsPerConnection;
    route(request);
}

void HttpConnection::route(const HttpRequest& request)
{
    const QByteArray& path = request.path;
    const bool get = request.method == "GET" || request.method == "HEAD";
    const bool hasBody =
        !request.header("content-length").isEmpty() && request.header("content-length") != "0";
    // Refused before its body is read, the client may still be sending it.
    expectMore_ = hasBody || !request.header("transfer-encoding").isEmpty();
    if (request.header("transfer-encoding").size() > 0 && path != "/upload") {
        fail(400, "request bodies are not accepted here");
        return;
    }

    if (path == "/upload") {
        if (request.method != "POST") {
            fail(405, "use POST", {"Allow: POST"});
            return;
        }
        beginUpload(request);
        return;
    }
    QByteArray body, type;
    QList<QByteArray> extra;
    if (path == "/ws") {
        if (request.method != "GET" || !request.headerHas("upgrade", "websocket")) {
            fail(400, "WebSocket upgrade expected");
            return;
        }
        if (!server_->makeRoomForPage()) {
            fail(503, "too many pages");
            return;
        }
        // The WebSocket server reads the head itself: it is put back in front of
        // what the socket still holds.
        timer_.stop();
        disconnect(socket_, nullptr, this, nullptr);
        socket_->setReadBufferSize(0);
        QTcpSocket* s = socket_;
        socket_ = nullptr;
        s->setParent(nullptr);
        state_ = Done;
        server_->upgrade(s);
        deleteLater();
        return;
    }
    if (path == "/") {
        body = server_->asset("index.html");
        type = ContentTypeOf("index.html");
        extra << "X-Frame-Options: DENY" << PagePolicy(request.header("host"));
    } else if (path == jw::kHelpPath) {
        // The browser's language, unless the page's own link asks for the other.
        QByteArray language = request.queryValue("lang");
        if (language != "zh" && language != "en")
            language = HelpLanguage(request.header("accept-language"));
        body = server_->helpPage(language);
        type = ContentTypeOf("help.html");
        extra << "X-Frame-Options: DENY" << PagePolicy(request.header("host"))
              << "Content-Language: " + language << "Vary: Accept-Language";
    } else if (path.startsWith("/uploads/")) {
        const UploadStore::Upload* u = server_->uploads().find(path.mid(9));
        if (u) {
            body = u->bytes;
            type = u->type;
            // Served back exactly as checked, and never as anything that runs.
            extra << "Content-Security-Policy: default-src 'none'; sandbox";
        }
    } else if (validName(path.mid(1))) {
        body = server_->asset(path.mid(1));
        type = ContentTypeOf(path.mid(1));
        extra << PagePolicy(request.header("host"));
    }
    if (body.isNull()) {
        fail(404, "not found");
        return;
    }
    if (!get) {
        fail(405, "use GET", {"Allow: GET, HEAD"});
        return;
    }
    if (hasBody) {
        fail(400, "request bodies are not accepted here");
        return;
    }
    extra << "Cache-Control: no-cache";
    respond(200, type, body, keepAlive_, extra, request.method == "HEAD");
}

void HttpConnection::beginUpload(const HttpRequest& request)
{
    const QString peer = hostOf(socket_->peerAddress());
    switch (server_->guard().offer(peer, QString::fromLatin1(request.header("x-jw-code")))) {
    case PairingGuard::Verdict::Paired:
        break;
    case PairingGuard::Verdict::WrongCode:
        fail(403, "bad code");
        return;
    case PairingGuard::Verdict::Locked:
        fail(429, "locked");
        return;
    }
    if (!request.header("transfer-encoding").isEmpty()) {
        fail(411, "length required");
        return;
    }
    const QByteArray lengthText = request.header("content-length");
    if (lengthText.isEmpty()) {
        fail(411, "length required");
        return;
    }
    static const QRegularExpression kDigits(QStringLiteral("^[0-9]{1,12}$"));
    if (request.headerCount("content-length") != 1 ||
        !kDigits.match(QString::fromLatin1(lengthText)).hasMatch()) {
        fail(400, "bad length");
        return;
    }
    const qint64 length = lengthText.toLongLong();
    if (length > kMaxPictureBytes) {
        fail(413, "picture too large");
        return;
    }
    if (!request.header("content-type").trimmed().toLower().startsWith("image/")) {
        fail(415, "not a picture");
        return;
    }
    if (length == 0) {
        fail(400, "empty body");
        return;
    }
    if (!server_->reserveUpload(address_, length)) {
        fail(503, "busy");
        return;
    }
    reserved_ = length;
    bodyExpected_ = length;
    keepAlive_ = false;
    // The address the page reached us on is the one the show window fetches from.
    uploadHost_ = hostOf(socket_->localAddress()).toLatin1();
    body_.reserve(int(length));
    state_ = Body;
    if (request.headerHas("expect", "100-continue"))
        socket_->write("HTTP/1.1 100 Continue\r\n\r\n");
    timer_.start(Limits::kBodyStallMs);
    readBody();
}

void HttpConnection::readBody()
{
    const qint64 want = bodyExpected_ - body_.size();
    if (want > 0 && socket_->bytesAvailable() > 0) {
        body_ += socket_->read(qMin(want, socket_->bytesAvailable()));
        timer_.start(Limits::kBodyStallMs);
    }
    if (body_.size() < bodyExpected_)
        return;
    state_ = Checking;
    timer_.stop();
    server_->checkPicture(body_, this,
                          [this](bool ok, const QByteArray& format) { bodyChecked(ok, format); });
}

void HttpConnection::bodyChecked(bool ok, const QByteArray& format)
{
    if (!ok) {
        body_.clear();
        fail(415, "not a picture");
        return;
    }
    const QByteArray name = server_->uploads().add(body_, format);
    body_.clear();
    server_->releaseUpload(address_, reserved_);
    reserved_ = 0;
    const QByteArray url =
        "http://" + uploadHost_ + ':' + QByteArray::number(server_->port()) + "/uploads/" + name;
    JWLOG::debug(QStringLiteral("web: picture uploaded, %1 bytes").arg(bodyExpected_));
    respond(200, "application/json",
            QJsonDocument(QJsonObject{{QStringLiteral("url"), QString::fromLatin1(url)}})
                .toJson(QJsonDocument::Compact),
            false, {"Cache-Control: no-store"});
}

void HttpConnection::respond(int status, const QByteArray& type, const QByteArray& body,
                             bool keepAlive, const QList<QByteArray>& extra, bool headOnly)
{
    keepAlive_ = keepAlive;
    socket_->write(ResponseHead(status, type, body.size(), keepAlive, extra));
    out_ = headOnly ? QByteArray() : body;
    outOffset_ = 0;
    if (state_ != Draining)
        state_ = Writing;
    timer_.start(Limits::kWriteStallMs);
    writeMore();
}

void HttpConnection::fail(int status, const char* what, const QList<QByteArray>& extra)
{
    if (!socket_ || state_ == Done)
        return;
    JWLOG::debug(QStringLiteral("web: refused %1 %2").arg(status).arg(QLatin1String(what)));
    // Only a client that may still be sending needs the lingering close.
    const bool linger = expectMore_ || socket_->bytesAvailable() > 0;
    socket_->skip(socket_->bytesAvailable());
    state_ = linger ? Draining : Writing;
    respond(status, "application/json", ErrorBody(what), false, extra);
    if (linger)
        timer_.start(kDrainMs);
}

void HttpConnection::onBytesWritten()
{
    if (state_ == Writing)
        timer_.start(Limits::kWriteStallMs);
    writeMore();
}

void HttpConnection::writeMore()
{
    if (!socket_)
        return;
    while (outOffset_ < out_.size() && socket_->bytesToWrite() < kWriteWindow) {
        const qint64 n = qMin<qint64>(kWriteWindow, out_.size() - outOffset_);
        socket_->write(out_.constData() + outOffset_, n);
        outOffset_ += n;
    }
    if (outOffset_ >= out_.size() && socket_->bytesToWrite() == 0)
        answered();
}

void HttpConnection::answered()
{
    out_.clear();
    outOffset_ = 0;
    if (state_ == Draining)
        return; // closes when the client does, or at the timer
    if (state_ != Writing)
        return;
    if (!keepAlive_) {
        state_ = Done;
        socket_->disconnectFromHost();
        return;
    }
    state_ = Head;
    timer_.start(Limits::kHeadTimeoutMs);
    if (socket_->bytesAvailable() > 0)
        readHead();
}

void HttpConnection::finish()
{
    if (socket_) {
        disconnect(socket_, nullptr, this, nullptr);
        socket_->abort();
    }
    state_ = Done;
    timer_.stop();
    deleteLater();
}

} // namespace web
