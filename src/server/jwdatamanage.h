#pragma once
// The dispatcher: the queue of received packets and closes, their parsing and
// routing, the replies, and the work on the host (pointer, address list,
// companion port).
//
// It knows no window. What it asks of the windows are typed commands (see
// protocol/commands.h), run on the GUI thread (the thread this object lives in)
// through one bounded hand-over by the receivers start-up gives it.

#include "host/keys.h"
#include "host/pointer.h"
#include "protocol/commands.h"
#include "protocol/jwmess.h"
#include "server/keyrate.h"
#include "server/packetsink.h"
#include "server/serverconfig.h"

#include <QHash>
#include <QJsonObject>
#include <QStringList>
#include <QThread>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <unordered_set>

class JWShowService;
class JwUserManage;

class JWdataManage : public QThread, public PacketSink
{
    Q_OBJECT
public:
    // Work handed to the GUI thread for one connection and not yet done, at most;
    // beyond it that connection's packets wait (and it is not read), while every
    // other connection's go on. Taken up again at half of it. (Room for a burst of
    // drawing: the board repaints between the batches the GUI thread gets.)
    static constexpr int kMaxGuiPerConnection = 4096;
    // While this much waits for the GUI thread in all, a connection with kGuiShare
    // or more of it waits too, until its own is below that share or the total is
    // back at half: many busy connections together stay bounded, and a phone with
    // a few requests is never held up by them.
    static constexpr int kMaxGuiTotal = 32768;
    static constexpr int kGuiShare = 256;
    // Packet memory handled since the allocator last gave free memory back, beyond
    // which it does so when the queue runs empty; a close counts as kCloseTrimWeight.
    static constexpr qint64 kTrimAfterCost = 512 * 1024;
    static constexpr qint64 kCloseTrimWeight = 4096;
    // Less than that but at least a close's worth is given back once no packet has
    // come for kTrimQuietMs: the tail of a burst, which never reaches the bound, and
    // a single connection's end (a cut-off non-reader leaves a megabyte of replies).
    static constexpr qint64 kTrimSettledCost = kCloseTrimWeight;
    static constexpr int kTrimQuietMs = 500;

    // What the windows do with the commands, each on the GUI thread.
    struct Receivers {
        std::function<void(const cmd::ShowCommand&)> show;
        std::function<void(const cmd::BoardCommand&)> boards;
        std::function<void(const cmd::MainCommand&)> main;
    };

    // sockets may be constructed after this object (it is used once running).
    JWdataManage(JwUserManage& users, JWShowService& sockets, const ServerConfig& config);
    ~JWdataManage() override;

    // Before the thread starts, on the thread this object lives in.
    void SetReceivers(Receivers receivers) { receivers_ = std::move(receivers); }

    using PacketSink::AddPackets;
    void AddPackets(SOCKET sock, PacketBatch&& batch,
                    const std::shared_ptr<QueuedInput>& input) override;
    void AddClose(SOCKET sock) override;
    qint64 QueuedCost() const override { return queuedCost; }
    void Stop();

    // Replies (any thread). They never wait on the socket.
    void sendRetPack(SOCKET sock, const JWData& d);
    void SendData(SOCKET sock, const QString& text);
    // A report of the video for the controller that started it (any thread).
    void Report(const cmd::VideoReport& report);
    // A report for the pages that asked for them at login: to its controller, or
    // to every such page when it names none (any thread). TCP controllers get none.
    void Report(const cmd::PageReport& report);

    // The companion's port: what start-up or a port change set, replaced by what
    // the companion reports (any thread).
    int CompanionPort() const { return companionPort; }
    void SetCompanionPort(int port) { companionPort = port; }

    static QStringList GetLocalIpAddress();

    // Handles one packet, or one close, exactly as the loop does (used by the
    // loop and by tests).
    void HandleText(const QString& text, SOCKET sock);
    void HandlePacket(const QByteArray& utf8, SOCKET sock);
    void HandleClose(SOCKET sock);

    // Hand-overs to the GUI thread not yet done, in all and for one connection.
    int GuiBacklog() const { return guiBacklog; }
    int GuiBacklog(SOCKET sock);

protected:
    void run() override;

private slots:
    void runGuiWork(); // the oldest hand-over (GUI thread)

private:
    // One read's packets (or a connection's end) waiting in its connection's lane.
    struct Inbound {
        PacketBatch batch;
        int taken = 0; // pieces of the batch already handled
        qint64 cost = 0;
        bool close = false;
        std::shared_ptr<QueuedInput> input;
    };
    // What the lane hands the loop: one packet or the close.
    struct Next {
        QByteArray packet;
        SOCKET sock = 0;
        bool close = false;
        qint64 freed = 0;       // cost given back with this packet
        bool batchDone = false; // the last packet of its read
        std::shared_ptr<QueuedInput> input;
    };
    // One parsed packet on its way through a handler.
    struct Packet {
        const QJsonObject& obj;
        SOCKET sock;
        JWData rec;        // the reply; its to and from are filled in when sent
        bool reply = true; // false: the handler answers itself or not at all
        bool closeAfterReply = false;
        QString str(const char* key) const;
    };
    using Handler = void (JWdataManage::*)(Packet&);
    // Who may send a packet type: anyone, or only a connection on which the
    // packet's "from" is logged in (it acts for that controller).
    enum class Access { Anyone, LoggedInHere };
    struct Route {
        Handler handler;
        Access access = Access::Anyone;
        Handler refused = nullptr; // run instead when access fails; none: dropped
    };
    static const QHash<QString, Route>& routes();

    void enqueue(SOCKET sock, Inbound&& in); // caller holds queueLock
    bool takeNext(Next* next);               // caller holds queueLock
    // Runs f on the GUI thread, in order with everything handed over before, and
    // charges it to the connection sock (0: to nobody).
    // With a coalesce key, f is skipped when the last hand-over had the same key
    // and has not run yet: that one does the same (play after play, say).
    void toGui(SOCKET sock, std::function<void()> f, int coalesceKey = 0);
    // A command for the show window (pictures, the video).
    void toShow(SOCKET sock, cmd::ShowCommand c, int coalesceKey = 0);
    // A change of the show window's state: merged into the waiting one when no
    // other work for the show window came after it (show, hide, close, show, ...
    // by many phones ends as one).
    void toGuiShowState(SOCKET sock, cmd::ShowTarget target, bool close = false);
    void toBoard(SOCKET sock, const QString& id, cmd::BoardAction a);
    void toMain(SOCKET sock, cmd::MainCommand c);
    // A display change: only the newest one not yet carried out is. The screen takes
    // a second or more to follow each change on real hardware, so a flood of them
    // would otherwise keep the GUI thread switching modes for hours, while the last
    // one decides the outcome anyway.
    void toGuiNewestDisplay(SOCKET sock, cmd::MainCommand change);
    void guiWorkDone(SOCKET sock); // GUI thread
    void announceRemoved(SOCKET sock, const QStringList& ids, bool nowEmpty);
    void markLoggedIn(SOCKET sock);
    void flushHeld();
    void CheckLocalIpChange();
    // In a Wayland session, logs the line once (per flag noted): what the packet
    // does reaches only XWayland's windows (dispatcher thread).
    void noteWayland(bool& noted, const QString& line);
    qint64 costSinceTrim = 0; // dispatcher thread only
    KeyRate keyRate;          // dispatcher thread only
    host::Pointer pointer_;   // the system pointer, moved by mouse.move
    host::SlideKeys keys_;    // slide keys for the window in front
    bool waylandKeyNoted = false, waylandPointerNoted = false;

    void onMouseMove(Packet& p);
    void onMode(Packet& p);
    void onLogin(Packet& p);
    void onLogout(Packet& p);
    void onStrangerLogout(Packet& p);
    void onShowImage(Packet& p);
    void onShowVideo(Packet& p);
    void onVideoControl(Packet& p);
    void onResolution(Packet& p);
    void onKeepAlive(Packet& p);
    void onFileList(Packet& p);
    void onFileOpen(Packet& p);
    void onFileClose(Packet& p);
    void onWhiteboard(Packet& p);
    void onKey(Packet& p);
    void onUnknown(Packet& p);
    void refusedForId(Packet& p);

    // One lane per connection, taken in turns: each connection's packets and its
    // close stay in order, and a connection with much waiting delays another by
    // at most one packet per turn. A connection with too much GUI work waiting is
    // parked (out of the turns) until the GUI thread has done half of it.
    std::mutex queueLock; // guards lanes, turns, parked and guiPending
    std::condition_variable arrived;
    std::unordered_map<SOCKET, std::deque<Inbound>> lanes;
    std::deque<SOCKET> turns; // connections with something waiting, next first
    std::unordered_set<SOCKET> parked;
    std::unordered_map<SOCKET, int> guiPending; // hand-overs not yet done, by connection
    std::size_t waiting = 0;                    // reads and closes in all lanes
    // Replies of the dispatcher thread wait in their connection's buffer while
    // more packets of the same connection follow, and leave together: a burst of
    // requests costs one write, not one per reply. Dispatcher thread only.
    SOCKET heldSock = 0;
    int heldCount = 0;
    std::atomic<qint64> queuedCost{0};
    std::atomic<bool> running{true};

    // Connections that logged out: what they sent after it is not carried out.
    // Dispatcher thread only.
    std::unordered_set<SOCKET> loggedOut;

    std::atomic<int> guiBacklog{0};
    std::atomic<quint64> guiPosted{0}; // hand-overs made (dispatcher thread writes)
    std::atomic<quint64> guiDone{0};   // hand-overs run (GUI thread writes)
    int lastCoalesceKey = 0;           // dispatcher thread only
    // The hand-overs themselves wait here, under our own lock, and each posts one
    // bare call of runGuiWork: what the GUI thread runs was handed over through a
    // lock every thread checker sees, not through the toolkit's event queue alone.
    std::mutex guiWorkLock; // guards guiWork, newestDisplay, showState, showStateQueued
    struct GuiWork {
        SOCKET sock;
        std::function<void()> f;
    };
    std::deque<GuiWork> guiWork;
    std::optional<cmd::MainCommand> newestDisplay; // set while a display change waits
    cmd::ShowState showState;
    bool showStateQueued = false; // a show change waits to be taken by the GUI thread
    // No other work for the show window was handed over since the waiting show
    // change (dispatcher thread).
    bool showStateIsLatest = false;

    JwUserManage& users_;
    JWShowService& sockets_;
    const ServerConfig config_;
    Receivers receivers_;
    std::atomic<int> companionPort{0};
    QStringList knownIps;
    QStringList latestIps;
};
