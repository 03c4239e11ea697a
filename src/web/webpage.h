#pragma once
// One page's WebSocket: a controller like any phone on the TCP port. Its first
// message must be a login with the pairing code; after that every text message is
// one packet for the dispatcher, and every reply or report the dispatcher sends to
// the page's number is one text message back.

#include "protocol/jwmess.h"
#include "web/framewatch.h"

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <deque>
#include <memory>
#include <vector>

class QTcpSocket;
class QWebSocket;
struct QueuedInput;

namespace web
{

class PageLink;
class WebHost;

class WebPage : public QObject
{
    Q_OBJECT
public:
    // Close codes the page sees.
    enum CloseCode {
        kReplaced = 4000, // the same controller logged in again on another WebSocket
        kBadCode = 4001,  // the first message was no login with the right code
        kLocked = 4003,   // too many wrong codes: from this address, or pairing paused
    };

    // Takes the WebSocket; tcp is the socket under it (to see what it has not
    // written yet, and the frames that come in). arrival orders pages by age.
    WebPage(QWebSocket* socket, QTcpSocket* tcp, WebHost* server, quint64 arrival, QObject* parent);
    ~WebPage() override;

    QString address() const { return address_; }
    quint64 arrival() const { return arrival_; }
    QString controller() const { return from_; } // empty until logged in
    bool loggedIn() const { return id_ != 0; }   // and not closing
    // Closes with a WebSocket close frame; the page is no controller from now on.
    void closeWith(int code, const QString& reason);
    // A newer page of the same controller logged in: this one closes (kReplaced)
    // and gives it its numbers, whose close the newer one sends once its own
    // login has been handled, so that the controller stays.
    std::vector<SOCKET> handOver();
    // A report to the page, when it asked for them (web thread).
    void report(const QByteArray& text);
    // The shown picture changed: the page gets the newest copy once the one it
    // may still be receiving has left (web thread).
    void pictureChanged();
    // Cuts the connection at once, for a page that does not read or floods.
    void cutOff(const char* why);
    // Pings the page, or cuts it off when it has been silent too long.
    void keepAlive(qint64 nowMs);

    // Posted by the link when replies wait (web thread).
    void drain();

private:
    void onText(const QString& text);
    void onFrame(const QString& frame, bool isLastFrame);
    void login(const QString& text);
    void forward(const QString& text);
    void releaseHeld();
    bool mustHold() const;
    qint64 socketPending() const;
    // What waits to be written to the page: in the outbox and in the socket (the
    // link learns the socket's part).
    qint64 unsent();
    void watchIncoming();
    void afterQtRead();
    bool controlFlood(int controls);
    // Cuts the page off when what waits to be written to it passes the bound, and
    // otherwise times how long it waits.
    void checkUnsent();
    void detach();
    void gone();
    void loginAnswered();
    void sendDuePicture();

    QWebSocket* socket_;
    QPointer<QTcpSocket> tcp_;
    WebHost* server_;
    QString address_;
    const quint64 arrival_;
    QString from_;
    SOCKET id_ = 0; // the dispatcher's number, 0 until logged in and after detach
    std::shared_ptr<PageLink> link_;
    std::shared_ptr<QueuedInput> input_;
    std::deque<QString> held_; // packets waiting for the dispatcher to catch up
    qint64 heldChars_ = 0;
    QTimer holdTimer_;
    QTimer stallTimer_;
    QTimer loginTimer_;
    QTimer closeTimer_;
    qint64 lastSeen_ = 0;
    FrameWatch watch_;
    QByteArray watchedUnread_; // what tcp_ held unread when watch_ last saw it
    // Pings and pongs the page may still send now, in thousandths.
    qint64 controlCredit_ = 0;
    qint64 controlCreditAt_ = 0;
    bool closing_ = false;
    bool gone_ = false;
    bool reports_ = false;  // the page asked for the reports to pages
    bool answered_ = false; // its login's reply has gone out
    bool pictureDue_ = false; // a newer copy of the shown picture waits for room
    // Numbers of earlier pages of this controller, closed once this page's login
    // has been handled: an earlier close would take the controller with it.
    std::vector<SOCKET> handedOver_;
};

} // namespace web
