#pragma once
// What the browser remote's connections and pages ask of the server that holds
// them (web::WebServer is the one). Web thread only.

#include "protocol/jwmess.h"

#include <QByteArray>
#include <QString>
#include <functional>
#include <memory>
#include <vector>

class ControlServer;
class PairingGuard;
class QObject;
class QTcpSocket;

namespace web
{

class HttpConnection;
class PageLink;
class UploadStore;
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
    // A logged-in page that went away by itself keeps its controller this long (a
    // phone's browser reloads a tab after the camera, or when short of memory).
    static constexpr int kKeepMs = 15000;
    // The small copy of the shown picture the pages draw on: its longer side, and
    // the most its JPEG may take.
    static constexpr int kPictureSide = 480;
    static constexpr int kMaxPictureBytes = 48 * 1024;
    // A browser sends a pong to each of our pings and no ping of its own. Pings
    // and pongs beyond a burst of this many, or beyond this many a second over
    // time, are a flood (each ping is a pong to write back).
    static constexpr int kControlFrameBurst = 200;
    static constexpr int kControlFramesPerSecond = 100;
};

class WebHost
{
public:
    virtual ~WebHost() = default;

    virtual qint64 nowMs() const = 0;
    virtual quint16 port() const = 0;
    // The computer's name, served like its addresses.
    virtual const QString& hostName() const = 0;
    virtual PairingGuard& guard() = 0;
    virtual ControlServer& control() = 0;
    virtual UploadStore& uploads() = 0;
    // A page file by name (":/web/<name>"); null when there is none.
    virtual QByteArray asset(const QByteArray& name) = 0;
    // The help page in the language ("zh" or "en"), with the ports served now.
    virtual QByteArray helpPage(const QByteArray& language) = 0;
    // Whether one more page may open, after giving up a page that has not logged
    // in when all are taken.
    virtual bool makeRoomForPage() = 0;
    // Hands a WebSocket request to the WebSocket server, which takes the socket.
    virtual void upgrade(QTcpSocket* socket) = 0;
    virtual bool reserveUpload(const QString& address, qint64 bytes) = 0;
    virtual void releaseUpload(const QString& address, qint64 bytes) = 0;
    // Decodes the bytes on the checking thread and calls done on this thread,
    // unless context is gone by then.
    virtual void checkPicture(const QByteArray& bytes, QObject* context,
                              std::function<void(bool ok, const QByteArray& format)> done) = 0;
    // Earlier pages of the page's controller, open or kept, give it over: their
    // numbers, for the page to close once its login has been handled.
    virtual std::vector<SOCKET> pageLoggedIn(WebPage* page) = 0;
    // Keeps the number of a logged-in page that went away by itself, for its
    // controller to come back to within Limits::kKeepMs; then it closes.
    virtual void keep(SOCKET id, const std::shared_ptr<PageLink>& link, const QString& from,
                      const QString& address, quint64 arrival) = 0;
    // What a page that asked for reports gets after its login: the program's name
    // and whether the controller was kept; the small copy of the shown picture
    // (empty while there is none).
    virtual QByteArray helloReport(const QString& to, bool kept) = 0;
    virtual QByteArray pictureReport() = 0;
    virtual void forget(HttpConnection* c) = 0;
    virtual void forget(WebPage* p) = 0;
};

} // namespace web
