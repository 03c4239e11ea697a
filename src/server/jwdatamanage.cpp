#include "server/jwdatamanage.h"

#include "base/jwdebug.h"
#include "base/jwlog.h"
#include "base/showimagerect.h"
#include "base/threadjoin.h"
#include "file/jwfile.h"
#include "host/memory.h"
#include "host/session.h"
#include "protocol/jsonguard.h"
#include "protocol/packetfields.h"
#include "protocol/protocol.h"
#include "protocol/reply.h"
#include "server/jwshowservice.h"
#include "server/jwusermanage.h"
#include "server/pairingguard.h"

#include <QCoreApplication>
#include <QHash>
#include <QHostAddress>
#include <QJsonDocument>
#include <QNetworkInterface>
#include <QUrl>

#include <algorithm>
#include <chrono>
#include <limits>

using namespace packetfields;

namespace
{
// The address list is read again after this much time without any packet.
constexpr auto kAddressCheck = std::chrono::seconds(15);
// Replies held back for one write at most (a long burst still answers steadily).
constexpr int kMaxHeldReplies = 64;

// Hand-overs to the GUI thread that may be merged with an identical one still
// waiting (each leaves the window in the same state however often it runs).
enum CoalesceKey { kNoKey, kKeyPlay, kKeyStop, kKeyPause, kKeyMute, kKeyUnmute };

// The packet's x and y (JSON numbers; anything else counts as 0) mapped onto the
// shown picture, for the pointer and the whiteboard alike.
QPoint packetPoint(const QJsonObject& obj, const ShowImageRect* picture)
{
    const double x = obj.value(QLatin1String(proto::kX)).toDouble(0);
    const double y = obj.value(QLatin1String(proto::kY)).toDouble(0);
    return picture ? picture->map(x, y) : MapImagePoint(x, y, 0, 0, -1, -1);
}
} // namespace

JWdataManage::JWdataManage(JwUserManage& users, JWShowService& sockets, const ServerConfig& config)
    : users_(users), sockets_(sockets), config_(config)
{
    // The connection number travels in queued calls by this name.
    qRegisterMetaType<SOCKET>("SOCKET");
}

JWdataManage::~JWdataManage()
{
    Stop();
    threadjoin::Joined(wait(), this);
}

QString JWdataManage::Packet::str(const char* key) const
{
    return stringField(obj.value(QLatin1String(key)));
}

void JWdataManage::enqueue(SOCKET sock, Inbound&& in)
{
    std::deque<Inbound>& lane = lanes[sock];
    if (lane.empty() && !parked.count(sock))
        turns.push_back(sock);
    lane.push_back(std::move(in));
    ++waiting;
}

bool JWdataManage::takeNext(Next* next)
{
    while (!turns.empty()) {
        const SOCKET sock = turns.front();
        turns.pop_front();
        auto pending = guiPending.find(sock);
        if (pending != guiPending.end() &&
            (pending->second >= kMaxGuiPerConnection ||
             (pending->second >= kGuiShare && guiBacklog >= kMaxGuiTotal))) {
            // The GUI thread has enough of this connection's work: its packets wait
            // until enough of it is done (guiWorkDone puts it back in the turns).
            parked.insert(sock);
            continue;
        }
        auto lane = lanes.find(sock);
        Inbound& in = lane->second.front();
        next->sock = sock;
        next->close = in.close;
        next->input = in.input;
        next->freed = 0;
        if (!in.close) {
            // Each packet gives back its share at once, so the bounds follow the
            // queue as it shrinks; the block goes with the last of them.
            const qint64 share = in.cost / (in.batch.count() - in.taken);
            next->packet = in.batch.piece(in.taken++);
            next->freed = share;
            in.cost -= share;
        }
        next->batchDone = !in.close && in.taken == in.batch.count();
        if (in.close || next->batchDone) {
            lane->second.pop_front();
            --waiting;
        }
        if (lane->second.empty())
            lanes.erase(lane);
        else
            turns.push_back(sock);
        return true;
    }
    return false;
}

void JWdataManage::AddPackets(SOCKET sock, PacketBatch&& batch,
                              const std::shared_ptr<QueuedInput>& input)
{
    if (batch.isEmpty())
        return;
    // Charged what it holds, so that a flood of tiny packets is bounded by its
    // memory and not by its few characters.
    const qint64 cost = batch.cost() + qint64(sizeof(Inbound));
    input->cost += cost;
    queuedCost += cost;
    std::lock_guard<std::mutex> l(queueLock);
    enqueue(sock, Inbound{std::move(batch), 0, cost, false, input});
    arrived.notify_one();
}

void JWdataManage::AddClose(SOCKET sock)
{
    std::lock_guard<std::mutex> l(queueLock);
    enqueue(sock, Inbound{PacketBatch(), 0, 0, true, nullptr});
    arrived.notify_one();
}

void JWdataManage::Stop()
{
    running = false;
    {
        std::lock_guard<std::mutex> l(queueLock);
        arrived.notify_all();
    }
    if (QThread::currentThread() != this)
        threadjoin::Joined(wait(100), this);
}

int JWdataManage::GuiBacklog(SOCKET sock)
{
    std::lock_guard<std::mutex> l(queueLock);
    auto it = guiPending.find(sock);
    return it == guiPending.end() ? 0 : it->second;
}

void JWdataManage::run()
{
    const threadjoin::EndGuard end{this};
    qCDebug(lcJwShow) << " data deal run:";
    knownIps = GetLocalIpAddress();
    const QStringList ips = knownIps;
    toMain(0, cmd::LocalAddresses{ips, false});

    auto nextCheck = std::chrono::steady_clock::now() + kAddressCheck;
    while (running) {
        Next in;
        {
            std::unique_lock<std::mutex> l(queueLock);
            if (turns.empty() && heldSock) {
                l.unlock();
                flushHeld();
                l.lock();
            }
            // After a burst (of packets, or of connections ending) the allocator keeps
            // what it handled; idle again, the program gives it back instead of
            // staying at its peak: a large burst at once, its tail after a quiet moment.
            const auto arrivedOrStopped = [this] { return !turns.empty() || !running; };
            if (turns.empty() && costSinceTrim >= kTrimSettledCost) {
                const bool idle =
                    costSinceTrim > kTrimAfterCost ||
                    !arrived.wait_for(l, std::chrono::milliseconds(kTrimQuietMs), arrivedOrStopped);
                if (idle) {
                    costSinceTrim = 0;
                    l.unlock();
                    host::ReleaseFreeMemory();
                    l.lock();
                }
            }
            arrived.wait_until(l, nextCheck, arrivedOrStopped);
            if (!running)
                break;
            if (!takeNext(&in)) {
                l.unlock();
                CheckLocalIpChange();
                nextCheck = std::chrono::steady_clock::now() + kAddressCheck;
                continue;
            }
            qCDebug(lcJwShow) << "=======task count:" << waiting;
        }
        nextCheck = std::chrono::steady_clock::now() + kAddressCheck;
        if (heldSock && (in.sock != heldSock || heldCount >= kMaxHeldReplies))
            flushHeld();
        // A connection's end frees its buffers too: it counts like a few packets.
        costSinceTrim += in.close ? kCloseTrimWeight : in.freed;
        if (in.freed) {
            queuedCost -= in.freed;
            in.input->cost -= in.freed;
        }
        // Each read's worth handled may let the server read that connection, or
        // another, again.
        if (in.batchDone)
            sockets_.WakeUp();
        try {
            if (in.close)
                HandleClose(in.sock);
            else
                HandlePacket(in.packet, in.sock);
        } catch (...) {
            JWLOG::debug(QStringLiteral("try catch error:"));
        }
    }
}

void JWdataManage::flushHeld()
{
    sockets_.Flush(heldSock);
    heldSock = 0;
    heldCount = 0;
}

void JWdataManage::toGui(SOCKET sock, std::function<void()> f, int coalesceKey)
{
    // Called on the GUI thread itself (tests driving HandleText), the work is
    // simply done now.
    if (QThread::currentThread() == thread()) {
        f();
        return;
    }
    if (coalesceKey != kNoKey && coalesceKey == lastCoalesceKey && guiDone < guiPosted)
        return;
    lastCoalesceKey = coalesceKey;
    ++guiBacklog;
    ++guiPosted;
    if (sock) {
        std::lock_guard<std::mutex> l(queueLock);
        ++guiPending[sock];
    }
    {
        std::lock_guard<std::mutex> l(guiWorkLock);
        guiWork.push_back(GuiWork{sock, std::move(f)});
    }
    // Events are delivered in the order they were posted, so each call finds its
    // own hand-over at the front.
    QMetaObject::invokeMethod(this, "runGuiWork", Qt::QueuedConnection);
}

void JWdataManage::toShow(SOCKET sock, cmd::ShowCommand c, int coalesceKey)
{
    toGui(
        sock, [this, c = std::move(c)] { receivers_.show(c); }, coalesceKey);
    showStateIsLatest = false;
}

void JWdataManage::toBoard(SOCKET sock, const QString& id, cmd::BoardAction a)
{
    toGui(sock, [this, c = cmd::BoardCommand{id, std::move(a)}] { receivers_.boards(c); });
}

void JWdataManage::toMain(SOCKET sock, cmd::MainCommand c)
{
    toGui(sock, [this, c = std::move(c)] { receivers_.main(c); });
}

void JWdataManage::toGuiShowState(SOCKET sock, cmd::ShowTarget target, bool close)
{
    using cmd::ShowTarget;
    const cmd::ShowState asked{close, close ? ShowTarget::Keep : target};
    if (QThread::currentThread() != thread()) {
        std::lock_guard<std::mutex> l(guiWorkLock);
        if (showStateIsLatest && showStateQueued) {
            // A show change the GUI thread has not taken yet, and nothing else for
            // the show window after it: it does this one too. (What waits for the
            // main window or the boards meanwhile does not depend on it.) A close
            // stays: the show ends first.
            showState.close |= close;
            showState.target = asked.target;
            return;
        }
        showState = asked;
        showStateQueued = true;
    }
    // Posted from the dispatcher, the change is taken from showState when it runs,
    // with whatever was merged into it by then.
    const bool queued = QThread::currentThread() != thread();
    toGui(sock, [this, asked, queued] {
        cmd::ShowState change = asked;
        if (queued) {
            std::lock_guard<std::mutex> l(guiWorkLock);
            change = std::exchange(showState, cmd::ShowState());
            showStateQueued = false;
        }
        receivers_.show(change);
    });
    showStateIsLatest = true;
}

void JWdataManage::toGuiNewestDisplay(SOCKET sock, cmd::MainCommand change)
{
    {
        std::lock_guard<std::mutex> l(guiWorkLock);
        const bool waiting = newestDisplay.has_value();
        newestDisplay = std::move(change);
        if (waiting)
            return; // the hand-over already made runs this one instead
    }
    toGui(sock, [this] {
        std::optional<cmd::MainCommand> newest;
        {
            std::lock_guard<std::mutex> l(guiWorkLock);
            newest.swap(newestDisplay);
        }
        if (newest)
            receivers_.main(*newest);
    });
}

void JWdataManage::runGuiWork()
{
    GuiWork work;
    {
        std::lock_guard<std::mutex> l(guiWorkLock);
        if (guiWork.empty())
            return;
        work = std::move(guiWork.front());
        guiWork.pop_front();
    }
    ++guiDone;
    --guiBacklog;
    work.f();
    if (work.sock)
        guiWorkDone(work.sock);
}

void JWdataManage::guiWorkDone(SOCKET sock)
{
    std::lock_guard<std::mutex> l(queueLock);
    auto it = guiPending.find(sock);
    if (it == guiPending.end())
        return;
    const int left = --it->second;
    if (left == 0)
        guiPending.erase(it);
    const bool room =
        left <= kMaxGuiPerConnection / 2 && (left < kGuiShare || guiBacklog < kMaxGuiTotal / 2);
    if (room && parked.erase(sock)) {
        if (lanes.count(sock))
            turns.push_back(sock);
        arrived.notify_one();
    }
}

void JWdataManage::HandleClose(SOCKET sock)
{
    loggedOut.erase(sock);
    bool nowEmpty = false;
    const QStringList ids = users_.RemoveUserBySocket(sock, &nowEmpty);
    announceRemoved(sock, ids, nowEmpty);
}

void JWdataManage::announceRemoved(SOCKET sock, const QStringList& ids, bool nowEmpty)
{
    if (ids.isEmpty())
        return;
    // Every controller that leaves takes its own board with it, whoever stays: a
    // board nobody controls would cover the screen for good.
    for (const QString& id : ids) {
        keyRate.forget(id);
        toMain(sock, cmd::ControllerRemoved{id});
        toBoard(sock, id, cmd::BoardClose{});
    }
    if (nowEmpty)
        toGuiShowState(sock, cmd::ShowTarget::Keep, true);
}

// The socket server gives a connection that logged in precedence over those that
// did not when it must make room.
void JWdataManage::markLoggedIn(SOCKET sock)
{
    sockets_.SetLoggedIn(sock, users_.CountOf(sock) > 0);
}

const QHash<QString, JWdataManage::Route>& JWdataManage::routes()
{
    using D = JWdataManage;
    // Never destroyed: a dispatcher that did not stop in time may still route
    // while the process exits.
    static const auto* const kRoutes = [] {
        auto* r = new QHash<QString, Route>{
            {proto::kMouseMove, {&D::onMouseMove}},
            {proto::kMode, {&D::onMode}},
            {proto::kLogin, {&D::onLogin}},
            // A logout ends the connection it came on; only a controller logged in
            // there leaves with it.
            {proto::kLogout, {&D::onLogout, Access::LoggedInHere, &D::onStrangerLogout}},
            {proto::kShowImage, {&D::onShowImage}},
            {proto::kShowVideo, {&D::onShowVideo}},
            {proto::kShowVideoControl, {&D::onVideoControl}},
            {proto::kResolution, {&D::onResolution}},
            {proto::kKeepAlive, {&D::onKeepAlive}},
            {proto::kFileList, {&D::onFileList}},
            {proto::kFileOpen, {&D::onFileOpen}},
            {proto::kFileClose, {&D::onFileClose}},
            // Keys act for the controller: its own connection, its own rate.
            {proto::kKey, {&D::onKey, Access::LoggedInHere, &D::refusedForId}},
        };
        // A board belongs to its controller: only its own connection draws on it.
        for (const char* type :
             {proto::kWbStart, proto::kWbEnd, proto::kWbDrawStart, proto::kWbDrawing,
              proto::kWbDrawEnd, proto::kWbShape, proto::kWbColor, proto::kWbPenWidth,
              proto::kWbClear, proto::kWbUndo, proto::kWbRedraw, proto::kWbStringStart,
              proto::kWbStringSet, proto::kWbStringEnd})
            r->insert(type, {&D::onWhiteboard, Access::LoggedInHere, &D::refusedForId});
        return r;
    }();
    return *kRoutes;
}

void JWdataManage::HandleText(const QString& text, SOCKET sock)
{
    HandlePacket(text.toUtf8(), sock);
}

void JWdataManage::HandlePacket(const QByteArray& utf8, SOCKET sock)
{
    if (loggedOut.count(sock)) {
        qCDebug(lcJwShow) << "packet after logout dropped, connection" << sock;
        return;
    }
    if (g_debugMode)
        JWLOG::debug("<<<:" + QString::fromUtf8(utf8));

    QJsonParseError err{};
    const QJsonDocument doc =
        jsonguard::LosesReplacedContainer(std::string_view(utf8.constData(), size_t(utf8.size())))
            ? QJsonDocument()
            : QJsonDocument::fromJson(utf8, &err);
    if (doc.isNull() || err.error != QJsonParseError::NoError) {
        JWLOG::error(QStringLiteral("JSON package error:"));
        qCDebug(lcJwShow) << "error:JSON package error:";
        return;
    }
    if (!doc.isObject()) {
        JWLOG::warning(QStringLiteral("this pack not JSON object"));
        qCDebug(lcJwShow) << "error:this pack not JSON object";
        return;
    }
    const QJsonObject obj = doc.object();
    Packet p{obj, sock, JWData{}};
    p.rec.type = p.str(proto::kType);
    p.rec.id = p.str(proto::kId);
    p.rec.from = p.str(proto::kFrom);
    p.rec.to = p.str(proto::kTo);
    p.rec.ret = proto::kOk;
    if (p.rec.type.isEmpty()) {
        JWLOG::warning(QStringLiteral("unknow package."));
        return;
    }

    const Route route = routes().value(p.rec.type, Route{&JWdataManage::onUnknown});
    Handler handler = route.handler;
    if (route.access == Access::LoggedInHere && users_.GetUserById(p.rec.from).sock != sock)
        handler = route.refused;
    if (handler)
        (this->*handler)(p);
    else
        p.reply = false;

    if (p.reply) {
        p.rec.to = p.rec.from;
        p.rec.from = proto::kIdentity;
        sendRetPack(sock, p.rec);
    }
    if (p.closeAfterReply)
        sockets_.Shutdown(sock);
}

void JWdataManage::onMouseMove(Packet& p)
{
    noteWayland(waylandPointerNoted,
                QStringLiteral("mouse.move: in a Wayland session the pointer moves only over "
                               "XWayland's windows; the X11 session at log-in makes it work"));
    const QPoint at = packetPoint(p.obj, config_.picture);
    pointer_.SetCursorPos(at.x(), at.y());
    p.reply = false;
}

void JWdataManage::onMode(Packet& p)
{
    const QString value = p.str(proto::kValue);
    if (value == proto::kShow) {
        toGuiShowState(p.sock, cmd::ShowTarget::Shown);
    } else if (value == proto::kRemote) {
        toGuiShowState(p.sock, cmd::ShowTarget::Hidden);
    } else {
        p.rec.ret = proto::kFail;
        p.rec.desc = "unknown mode::" + value;
        JWLOG::error(p.rec.desc);
        qCDebug(lcJwShow).noquote() << p.rec.desc;
    }
}

void JWdataManage::onLogin(Packet& p)
{
    p.rec.name = p.str(proto::kName);
    qCDebug(lcJwShow).noquote() << "recd login package from:" + p.rec.from;
    JWLOG::debug("login-from:" + p.rec.from + ":to:" + p.rec.to);
    ControllerInfo c;
    c.id = p.rec.from;
    c.name = p.rec.name;
    c.ip = p.str(proto::kIp);
    c.pwd = p.str(proto::kPwd);
    c.sock = p.sock;
    p.rec.rc_port = QString::number(companionPort.load());
    // With the pairing setting on, a phone on the TCP port must know the code (pages
    // were checked at their own door). A wrong one counts like a page's.
    const QString host = sockets_.PeerHost(p.sock);
    if (config_.pairing && config_.pairing->tcpCodeRequired() && !host.isEmpty() &&
        config_.pairing->offer(host, c.pwd) != PairingGuard::Verdict::Paired) {
        qCDebug(lcJwShow).noquote() << "login refused, wrong password from " + host;
        JWLOG::debug("login refused, wrong password from " + host);
        p.rec.ret = proto::kFail;
        p.rec.desc = QStringLiteral("wrong password");
        loggedOut.insert(p.sock); // nothing it sends after this is carried out
        p.closeAfterReply = true;
        return;
    }
    SOCKET previous = 0;
    const JwUserManage::Added added = users_.AddUser(c, &previous);
    if (added == JwUserManage::Added::Yes || added == JwUserManage::Added::TakenOver)
        toMain(p.sock, cmd::ControllerAdded{c.id, c.name, c.ip});
    if (added == JwUserManage::Added::TakenOver) {
        // A phone back on a new connection (its network dropped) keeps its place;
        // the old connection acts for it no more.
        qCDebug(lcJwShow).noquote() << "login taken over from another connection:" + c.id;
        markLoggedIn(previous);
    }
    if (added == JwUserManage::Added::Full) {
        p.rec.ret = proto::kFail;
        p.rec.desc = QStringLiteral("too many controllers");
        qCDebug(lcJwShow).noquote() << "login refused, too many controllers:" + c.id;
    } else if (c.pwd.isEmpty()) {
        p.rec.ret = proto::kFail;
        p.rec.desc = QStringLiteral("no password");
    }
    markLoggedIn(p.sock);
    p.rec.token = config_.code;
}

void JWdataManage::onLogout(Packet& p)
{
    qCDebug(lcJwShow) << "logout package.";
    bool nowEmpty = false;
    if (users_.RemoveUserById(p.rec.from, &nowEmpty))
        announceRemoved(p.sock, {p.rec.from}, nowEmpty);
    JWLOG::debug("logout from:" + p.rec.from + ":" + QString::number(users_.Count()));
    onStrangerLogout(p);
}

// A logout for an id that is not logged in on this connection removes nobody, but
// still ends the connection it came on.
void JWdataManage::onStrangerLogout(Packet& p)
{
    // What the connection sent after its logout is not carried out; its close
    // comes through the queue like any other.
    loggedOut.insert(p.sock);
    sockets_.Shutdown(p.sock);
    p.reply = false;
}

void JWdataManage::onShowImage(Packet& p)
{
    const QString url = p.str(proto::kUrl);
    if (url.isEmpty()) {
        p.rec.ret = proto::kFail;
        p.rec.desc = QStringLiteral("url is empty");
        return;
    }
    const SOCKET sock = p.sock;
    cmd::ShowPicture picture{sock, url};
    // A page of this controller's own is told what came of it.
    if (users_.GetUserById(p.rec.from).sock == sock && sockets_.TakesReports(sock)) {
        picture.from = p.rec.from;
        picture.id = p.rec.id;
    }
    toShow(p.sock, std::move(picture));
}

void JWdataManage::onShowVideo(Packet& p)
{
    const QString url = p.str(proto::kUrl);
    if (url.isEmpty()) {
        p.rec.ret = proto::kFail;
        p.rec.desc = QStringLiteral("url is empty(video)");
        return;
    }
    // The player opens whatever it is given: a local file, the camera (v4l2://)
    // or a capture of the screen (screen://). A phone may name only a stream.
    static const auto* const kStreamSchemes =
        new QStringList{"http", "https", "rtsp", "rtp", "udp", "mms", "rtmp", "ftp"};
    if (!kStreamSchemes->contains(QUrl(url).scheme().toLower())) {
        p.rec.ret = proto::kFail;
        p.rec.desc = "unsupported url:" + url;
        return;
    }
    const SOCKET sock = p.sock;
    const QString from = p.rec.from;
    toShow(p.sock, cmd::PlayVideo{url, sock, from});
}

void JWdataManage::onVideoControl(Packet& p)
{
    using cmd::VideoAct;
    const QString act = p.str(proto::kAct);
    const QString value = p.str(proto::kValue);
    const qint64 t = decimal64(p.str(proto::kTime));
    qCDebug(lcJwShow).noquote() << "debug recv video control" + act;
    // A repeated play, stop, pause or mute while the same waits does the same.
    auto control = [&p, this](VideoAct a) { toShow(p.sock, cmd::VideoControl{a}, 1 + int(a)); };
    if (act == proto::kPlay) {
        control(VideoAct::Play);
    } else if (act == proto::kStop) {
        control(VideoAct::Stop);
    } else if (act == proto::kPause) {
        control(VideoAct::Pause);
    } else if (act == proto::kFastForward) {
        toShow(p.sock, cmd::VideoStep{t});
    } else if (act == proto::kFastBackward) {
        // -INT64_MIN does not exist; such a step is nonsense anyway.
        toShow(p.sock, cmd::VideoStep{t == std::numeric_limits<qint64>::min() ? 0 : -t});
    } else if (act == proto::kSeek) {
        toShow(p.sock, cmd::VideoSeek{t});
    } else if (act == proto::kVolume) {
        toShow(p.sock, cmd::VideoVolume{decimal(value)});
    } else if (act == proto::kMute) {
        control(value == proto::kTrue ? VideoAct::Mute : VideoAct::Unmute);
    } else {
        p.rec.ret = proto::kFail;
        p.rec.desc = "unknown control act=:" + act;
        JWLOG::error(p.rec.desc);
    }
}

void JWdataManage::onResolution(Packet& p)
{
    const QString act = p.str(proto::kAct);
    if (act == proto::kSet && host::WaylandSession()) {
        // XWayland's modes are its own: the desktop's screen would not change.
        p.rec.ret = proto::kFail;
        p.rec.desc = QStringLiteral("not possible in a Wayland session");
    } else if (act == proto::kSet) {
        const QString w = p.str(proto::kWidth);
        const QString h = p.str(proto::kHeight);
        if (w.isEmpty() || h.isEmpty()) {
            p.rec.ret = proto::kFail;
            p.rec.desc = "width or height is empty W:" + w + ":H:" + h;
            JWLOG::error("adjust resolution error:width:" + w + ":height:" + h);
            return;
        }
        // A negative size would wrap to a huge unsigned one; 0 is refused by the
        // display change like any other impossible mode.
        const ulong pw = ulong(qMax(0, decimal(w)));
        const ulong ph = ulong(qMax(0, decimal(h)));
        toGuiNewestDisplay(p.sock, cmd::ChangeResolution{pw, ph});
    } else if (act == proto::kReduction) {
        toGuiNewestDisplay(p.sock, cmd::RestoreResolution{});
    } else {
        p.rec.ret = proto::kFail;
        p.rec.desc = "unknown type=" + p.rec.type + ":act=:" + act;
    }
}

void JWdataManage::onKeepAlive(Packet& p)
{
    const QString port = p.str(proto::kPort);
    qCDebug(lcJwShow).noquote() << "get jwrcserver listen port: " + port;
    const int n = decimal(port);
    if (n > 0)
        companionPort = n;
    p.reply = false;
}

void JWdataManage::onFileList(Packet& p)
{
    SendData(p.sock, jwFile::GetFileList(p.rec.id));
    p.reply = false;
}

void JWdataManage::onFileOpen(Packet& p)
{
    SendData(p.sock, jwFile::OpenFile(p.str(proto::kPath), p.rec.id));
    p.reply = false;
}

void JWdataManage::onFileClose(Packet& p)
{
    SendData(p.sock, jwFile::CloseFile(p.str(proto::kPath), p.rec.id));
    p.reply = false;
}

// The whiteboard's packets, for the board of the controller that sent them.
void JWdataManage::onWhiteboard(Packet& p)
{
    p.reply = false;
    const QString& type = p.rec.type;
    auto num = [&p](const char* key) { return numberField(p.obj.value(QLatin1String(key))); };
    auto board = [&p, this](cmd::BoardAction a) { toBoard(p.sock, p.rec.from, std::move(a)); };

    if (type == proto::kWbStart) {
        board(cmd::BoardOpen{});
    } else if (type == proto::kWbEnd) {
        board(cmd::BoardClose{});
    } else if (type == proto::kWbDrawing) {
        board(cmd::StrokeTo{packetPoint(p.obj, config_.picture)});
    } else if (type == proto::kWbDrawStart) {
        board(cmd::StrokeStart{packetPoint(p.obj, config_.picture)});
    } else if (type == proto::kWbStringStart) {
        board(cmd::TextStart{packetPoint(p.obj, config_.picture)});
    } else if (type == proto::kWbDrawEnd) {
        board(cmd::StrokeEnd{});
    } else if (type == proto::kWbShape) {
        using cmd::Shape;
        static const auto* const kShapes =
            new QHash<QString, Shape>{{proto::kLine, Shape::Line},
                                      {proto::kEllipse, Shape::Ellipse},
                                      {proto::kRect, Shape::Rect},
                                      {proto::kCurve, Shape::Curve}};
        const auto shape = kShapes->find(p.str(proto::kAct));
        if (shape != kShapes->end())
            board(cmd::SetShape{*shape});
    } else if (type == proto::kWbClear) {
        board(cmd::ClearBoard{});
    } else if (type == proto::kWbColor) {
        board(cmd::SetColor{num(proto::kR), num(proto::kG), num(proto::kB)});
    } else if (type == proto::kWbUndo) {
        board(cmd::Undo{});
    } else if (type == proto::kWbPenWidth) {
        board(cmd::SetPenWidth{decimal(p.str(proto::kValue))});
    } else if (type == proto::kWbRedraw) {
        board(cmd::Redo{});
    } else if (type == proto::kWbStringSet) {
        board(cmd::TextSet{p.str(proto::kText)});
    } else if (type == proto::kWbStringEnd) {
        board(cmd::TextEnd{});
    }
}

// A slide key for whatever program is in front (the presentation), from a
// controller logged in on this connection.
void JWdataManage::onKey(Packet& p)
{
    using host::SlideKey;
    static const QHash<QString, SlideKey> kKeys{
        {proto::kKeyNext, SlideKey::Next},   {proto::kKeyPrevious, SlideKey::Previous},
        {proto::kKeyFirst, SlideKey::First}, {proto::kKeyLast, SlideKey::Last},
        {proto::kKeyStart, SlideKey::Start}, {proto::kKeyEnd, SlideKey::End},
        {proto::kKeyBlack, SlideKey::Black}, {proto::kKeyWhite, SlideKey::White}};
    const auto key = kKeys.find(p.str(proto::kValue));
    const qint64 now = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now().time_since_epoch())
                           .count();
    if (key == kKeys.end()) {
        p.rec.desc = QStringLiteral("unknown key");
    } else if (!keyRate.admit(p.rec.from, now)) {
        p.rec.desc = QStringLiteral("too many keys");
    } else {
        noteWayland(waylandKeyNoted,
                    QStringLiteral("key: in a Wayland session the keys reach only XWayland's "
                                   "windows; the X11 session at log-in makes them work"));
        switch (keys_.SendSlideKey(*key)) {
        case host::KeySent::Sent:
            return;
        case host::KeySent::OwnWindowInFront:
            // The key would act on the show window itself (Esc would leave full
            // screen), not on the presentation behind it.
            p.rec.desc = QStringLiteral("the show window is in front");
            break;
        case host::KeySent::NoFocus:
            p.rec.desc = QStringLiteral("no window has the keyboard focus");
            break;
        case host::KeySent::Unavailable:
            p.rec.desc = QStringLiteral("keys cannot be sent on this display");
            break;
        }
    }
    p.rec.ret = proto::kFail;
    qCDebug(lcJwShow).noquote() << "key refused:" + p.rec.desc;
}

void JWdataManage::noteWayland(bool& noted, const QString& line)
{
    if (noted || !host::WaylandSession())
        return;
    noted = true;
    JWLOG::warning(line);
    qCWarning(lcJwShow).noquote() << line;
}

void JWdataManage::onUnknown(Packet& p)
{
    JWLOG::error("unknown type=:" + p.rec.type);
    p.reply = false;
}

// A packet that acts for a controller not logged in on its connection (a board
// of somebody else's, say) does nothing.
void JWdataManage::refusedForId(Packet& p)
{
    qCDebug(lcJwShow).noquote() << "refused, not logged in on this connection:" + p.rec.type +
                                       " from " + p.rec.from;
    JWLOG::debug("refused " + p.rec.type + ", not logged in here:" + p.rec.from);
    p.reply = false;
}

void JWdataManage::Report(const cmd::VideoReport& report)
{
    static const char* const kActs[] = {proto::kDuration, proto::kPosition, proto::kStatus,
                                        proto::kVolume};
    JWData r;
    r.id = proto::kReportId;
    r.from = proto::kIdentity;
    r.to = report.to;
    r.type = proto::kShowVideoInfo;
    r.act = kActs[int(report.what)];
    (report.what == cmd::VideoInfo::Position ? r.time : r.value) = report.value;
    sendRetPack(report.sock, r);
}

void JWdataManage::Report(const cmd::PageReport& report)
{
    JWData r;
    r.id = report.id.isEmpty() ? QString::fromLatin1(proto::kReportId) : report.id;
    r.from = proto::kIdentity;
    r.type = proto::kShowReport;
    r.act = report.act;
    r.value = report.value;
    r.ret = report.ok ? proto::kOk : proto::kFail;
    r.desc = report.reason;
    if (!report.to.isEmpty()) {
        const SOCKET sock = users_.GetUserById(report.to).sock;
        if (sock && sockets_.TakesReports(sock)) {
            r.to = report.to;
            sendRetPack(sock, r);
        }
        return;
    }
    for (const SOCKET sock : sockets_.ReportTakers())
        sendRetPack(sock, r);
}

void JWdataManage::sendRetPack(SOCKET sock, const JWData& d)
{
    qCDebug(lcJwShow) << "socket = :" << sock;
    SendData(sock, BuildReply(d));
}

void JWdataManage::SendData(SOCKET sock, const QString& text)
{
    if (g_debugMode)
        JWLOG::debug(">>>>:" + text);
    // On the dispatcher thread the reply may wait for the next ones (see heldSock).
    const bool hold = QThread::currentThread() == this;
    // The held count is the dispatcher's alone: another thread (the show window's
    // video reports) must not even add 0 to it while the dispatcher resets it.
    if (hold) {
        if (heldSock != sock) {
            if (heldSock)
                flushHeld();
            heldSock = sock;
        }
        ++heldCount;
    }
    if (!sockets_.Send(sock, text.toUtf8(), !hold)) {
        qCDebug(lcJwShow).noquote() << "send error:" + WithoutCode(text);
        JWLOG::debug("send error::" + text);
    }
}

QStringList JWdataManage::GetLocalIpAddress()
{
    QList<QNetworkInterface> ifaces = QNetworkInterface::allInterfaces();
    std::sort(ifaces.begin(), ifaces.end(),
              [](const QNetworkInterface& a, const QNetworkInterface& b) {
                  return a.index() < b.index();
              });
    QStringList out;
    for (const QNetworkInterface& ifc : ifaces) {
        const auto f = ifc.flags();
        if (!(f & QNetworkInterface::IsUp) || !(f & QNetworkInterface::IsRunning) ||
            (f & QNetworkInterface::IsLoopBack))
            continue;
        QList<quint32> addrs;
        for (const QNetworkAddressEntry& e : ifc.addressEntries()) {
            if (e.ip().protocol() == QAbstractSocket::IPv4Protocol)
                addrs << e.ip().toIPv4Address();
        }
        std::sort(addrs.begin(), addrs.end());
        for (quint32 a : addrs) {
            const QString text = QHostAddress(a).toString();
            qCDebug(lcJwShow).noquote() << "local IP:::" + text;
            out << text;
        }
    }
    return out;
}

void JWdataManage::CheckLocalIpChange()
{
    latestIps = GetLocalIpAddress();
    const bool changed = latestIps.size() != knownIps.size() ||
                         std::any_of(latestIps.begin(), latestIps.end(),
                                     [this](const QString& ip) { return !knownIps.contains(ip); });
    if (!changed)
        return;
    knownIps = latestIps;
    const QStringList ips = latestIps;
    toMain(0, cmd::LocalAddresses{ips, true});
}
