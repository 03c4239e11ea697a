#include "server/jwdatamanage.h"

#include "base/appglobals.h"
#include "base/jwdebug.h"
#include "base/jwlog.h"
#include "base/showimagerect.h"
#include "base/threadjoin.h"
#include "file/jwfile.h"
#include "host/memory.h"
#include "host/pointer.h"
#include "protocol/jsonguard.h"
#include "protocol/packetfields.h"
#include "protocol/protocol.h"
#include "protocol/reply.h"
#include "server/jwshowservice.h"
#include "server/jwusermanage.h"

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
enum CoalesceKey {
    kNoKey,
    kKeyShow,
    kKeyHide,
    kKeyPlay,
    kKeyStop,
    kKeyPause,
    kKeyMute,
    kKeyUnmute
};

// The packet's x and y (JSON numbers; anything else counts as 0) mapped onto the
// shown picture, for the pointer and the whiteboard alike.
QPoint packetPoint(const QJsonObject& obj)
{
    return MapImagePoint(obj.value(QLatin1String(proto::kX)).toDouble(0),
                         obj.value(QLatin1String(proto::kY)).toDouble(0));
}
} // namespace

JWdataManage* JWdataManage::GetInstance()
{
    // Never destroyed, like the socket server: the thread may run until exit.
    static JWdataManage* instance = [] {
        auto* dm = new JWdataManage;
        // Hand-overs run in the thread this object lives in: the GUI thread,
        // whichever thread asked first.
        if (QCoreApplication* app = QCoreApplication::instance())
            dm->moveToThread(app->thread());
        return dm;
    }();
    return instance;
}

JWdataManage::JWdataManage()
{
    // The connection number travels in signals by this name.
    qRegisterMetaType<SOCKET>("SOCKET");
}

QString JWdataManage::Packet::str(const char* key) const
{
    return stringField(obj.value(QLatin1String(key)));
}

void JWdataManage::enqueue(Inbound&& in)
{
    std::deque<Inbound>& lane = lanes[in.sock];
    if (lane.empty())
        turns.push_back(in.sock);
    lane.push_back(std::move(in));
    ++waiting;
}

JWdataManage::Inbound JWdataManage::takeNext()
{
    const SOCKET sock = turns.front();
    turns.pop_front();
    auto lane = lanes.find(sock);
    Inbound in = std::move(lane->second.front());
    lane->second.pop_front();
    --waiting;
    if (lane->second.empty())
        lanes.erase(lane);
    else
        turns.push_back(sock);
    return in;
}

void JWdataManage::AddData(const JwMess& m)
{
    qCDebug(lcJwShow) << "add data:";
    if (m.data.isEmpty())
        return;
    queuedChars += m.data.size();
    std::lock_guard<std::mutex> l(queueLock);
    enqueue(Inbound{m.data, m.sock, false, nullptr});
    arrived.notify_one();
}

void JWdataManage::AddPackets(SOCKET sock, const QStringList& texts,
                              const std::shared_ptr<QueuedInput>& input)
{
    qint64 chars = 0;
    for (const QString& t : texts)
        chars += t.size();
    input->chars += chars;
    queuedChars += chars;
    std::lock_guard<std::mutex> l(queueLock);
    for (const QString& t : texts)
        enqueue(Inbound{t, sock, false, input});
    arrived.notify_one();
}

void JWdataManage::AddClose(SOCKET sock)
{
    std::lock_guard<std::mutex> l(queueLock);
    enqueue(Inbound{QString(), sock, true, nullptr});
    arrived.notify_one();
}

void JWdataManage::Stop()
{
    running = false;
    {
        std::lock_guard<std::mutex> l(queueLock);
        arrived.notify_all();
    }
    {
        std::lock_guard<std::mutex> l(guiLock);
        guiRoom.notify_all();
    }
    if (QThread::currentThread() != this)
        threadjoin::Joined(wait(100), this);
}

void JWdataManage::run()
{
    const threadjoin::EndGuard end{this};
    qCDebug(lcJwShow) << " data deal run:";
    knownIps = GetLocalIpAddress();
    const QStringList ips = knownIps;
    toGui([this, ips] { emit msg_localIp(ips); });

    auto nextCheck = std::chrono::steady_clock::now() + kAddressCheck;
    while (running) {
        if (!waitForGuiRoom())
            break;
        Inbound in;
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
            if (turns.empty() && charsSinceTrim >= kTrimSettledChars) {
                const bool idle =
                    charsSinceTrim > kTrimAfterChars ||
                    !arrived.wait_for(l, std::chrono::milliseconds(kTrimQuietMs), arrivedOrStopped);
                if (idle) {
                    charsSinceTrim = 0;
                    l.unlock();
                    host::ReleaseFreeMemory();
                    l.lock();
                }
            }
            arrived.wait_until(l, nextCheck, arrivedOrStopped);
            if (!running)
                break;
            if (turns.empty()) {
                l.unlock();
                CheckLocalIpChange();
                nextCheck = std::chrono::steady_clock::now() + kAddressCheck;
                continue;
            }
            in = takeNext();
            qCDebug(lcJwShow) << "=======task count:" << waiting;
        }
        nextCheck = std::chrono::steady_clock::now() + kAddressCheck;
        if (heldSock && (in.sock != heldSock || heldCount >= kMaxHeldReplies))
            flushHeld();
        const qint64 chars = in.text.size();
        // A connection's end frees its buffers too: it counts like a few packets.
        charsSinceTrim += in.close ? kCloseTrimWeight : chars;
        const bool wasBacklogged = Backlogged();
        queuedChars -= chars;
        bool resumeReading = wasBacklogged && !Backlogged();
        if (in.input) {
            const qint64 left = in.input->chars -= chars;
            resumeReading |= left <= JWShowService::kMaxQueuedInput &&
                             left + chars > JWShowService::kMaxQueuedInput;
        }
        if (resumeReading)
            JWShowService::GetInstance()->WakeUp();
        try {
            if (in.close)
                HandleClose(in.sock);
            else
                HandleText(in.text, in.sock);
        } catch (...) {
            JWLOG::debug(QStringLiteral("try catch error:"));
        }
    }
}

void JWdataManage::flushHeld()
{
    JWShowService::GetInstance()->Flush(heldSock);
    heldSock = 0;
    heldCount = 0;
}

bool JWdataManage::waitForGuiRoom()
{
    if (guiBacklog < kMaxGuiBacklog)
        return running;
    if (heldSock)
        flushHeld();
    std::unique_lock<std::mutex> l(guiLock);
    guiRoom.wait(l, [this] { return guiBacklog < kMaxGuiBacklog / 2 || !running; });
    return running;
}

void JWdataManage::toGui(std::function<void()> f, int coalesceKey)
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
    {
        std::lock_guard<std::mutex> l(guiWorkLock);
        guiWork.push_back(std::move(f));
    }
    // Events are delivered in the order they were posted, so each call finds its
    // own hand-over at the front.
    QMetaObject::invokeMethod(this, "runGuiWork", Qt::QueuedConnection);
}

void JWdataManage::toGuiNewestDisplay(std::function<void()> f)
{
    {
        std::lock_guard<std::mutex> l(guiWorkLock);
        const bool waiting = static_cast<bool>(newestDisplay);
        newestDisplay = std::move(f);
        if (waiting)
            return; // the hand-over already made runs this one instead
    }
    toGui([this] {
        std::function<void()> change;
        {
            std::lock_guard<std::mutex> l(guiWorkLock);
            change.swap(newestDisplay);
        }
        if (change)
            change();
    });
}

void JWdataManage::runGuiWork()
{
    std::function<void()> f;
    {
        std::lock_guard<std::mutex> l(guiWorkLock);
        if (guiWork.empty())
            return;
        f = std::move(guiWork.front());
        guiWork.pop_front();
    }
    ++guiDone;
    if (--guiBacklog == kMaxGuiBacklog / 2 - 1) {
        std::lock_guard<std::mutex> l(guiLock);
        guiRoom.notify_all();
    }
    f();
}

void JWdataManage::HandleClose(SOCKET sock)
{
    loggedOut.erase(sock);
    bool nowEmpty = false;
    const QStringList ids = JwUserManage::GetInstance()->RemoveUserBySocket(sock, &nowEmpty);
    announceRemoved(ids, nowEmpty, true);
}

void JWdataManage::announceRemoved(const QStringList& ids, bool nowEmpty, bool endWhiteboard)
{
    if (ids.isEmpty())
        return;
    toGui([this, ids, nowEmpty, endWhiteboard] {
        for (const QString& id : ids)
            emit msg_removeUser(id);
        if (!nowEmpty)
            return;
        if (endWhiteboard)
            emit msg_endWhiteboard(ids.last());
        emit msg_closeShow();
    });
}

void JWdataManage::HandleText(const QString& text, SOCKET sock)
{
    if (loggedOut.count(sock)) {
        qCDebug(lcJwShow) << "packet after logout dropped, connection" << sock;
        return;
    }
    WriteLogWindow("<<<:", text);

    const QByteArray utf8 = text.toUtf8();
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

    // Never destroyed: a dispatcher that did not stop in time may still route
    // while the process exits.
    static const auto* const kRoutes = new QHash<QString, Handler>{
        {proto::kMouseMove, &JWdataManage::onMouseMove},
        {proto::kMode, &JWdataManage::onMode},
        {proto::kLogin, &JWdataManage::onLogin},
        {proto::kLogout, &JWdataManage::onLogout},
        {proto::kShowImage, &JWdataManage::onShowImage},
        {proto::kShowVideo, &JWdataManage::onShowVideo},
        {proto::kShowVideoControl, &JWdataManage::onVideoControl},
        {proto::kResolution, &JWdataManage::onResolution},
        {proto::kKeepAlive, &JWdataManage::onKeepAlive},
        {proto::kFileList, &JWdataManage::onFileList},
        {proto::kFileOpen, &JWdataManage::onFileOpen},
        {proto::kFileClose, &JWdataManage::onFileClose},
    };
    (this->*kRoutes->value(p.rec.type, &JWdataManage::onWhiteboard))(p);

    if (p.reply) {
        p.rec.to = p.rec.from;
        p.rec.from = proto::kIdentity;
        sendRetPack(sock, p.rec);
    }
}

void JWdataManage::onMouseMove(Packet& p)
{
    const QPoint at = packetPoint(p.obj);
    host::SetCursorPos(at.x(), at.y());
    p.reply = false;
}

void JWdataManage::onMode(Packet& p)
{
    const QString value = p.str(proto::kValue);
    if (value == proto::kShow) {
        toGui([this] { emit msg_show(); }, kKeyShow);
    } else if (value == proto::kRemote) {
        toGui([this] { emit msg_hide(); }, kKeyHide);
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
    const JwUserManage::Added added = JwUserManage::GetInstance()->AddUser(c);
    if (added == JwUserManage::Added::Yes)
        toGui([this, c] { emit msg_addUser(c.id, c.name, c.ip); });
    if (added == JwUserManage::Added::Full) {
        p.rec.ret = proto::kFail;
        p.rec.desc = QStringLiteral("too many controllers");
        qCDebug(lcJwShow).noquote() << "login refused, too many controllers:" + c.id;
    } else if (c.pwd.isEmpty()) {
        p.rec.ret = proto::kFail;
        p.rec.desc = QStringLiteral("no password");
    }
    p.rec.rc_port = QString::number(g_rcPort.load());
    p.rec.token = g_auth;
}

void JWdataManage::onLogout(Packet& p)
{
    qCDebug(lcJwShow) << "logout package.";
    JwUserManage* users = JwUserManage::GetInstance();
    bool nowEmpty = false;
    if (users->RemoveUserById(p.rec.from, &nowEmpty))
        announceRemoved({p.rec.from}, nowEmpty, true);
    JWLOG::debug("logout from:" + p.rec.from + ":" + QString::number(users->Count()));
    // What the connection sent after its logout is not carried out; its close
    // comes through the queue like any other.
    loggedOut.insert(p.sock);
    JWShowService::GetInstance()->Shutdown(p.sock);
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
    toGui([this, sock, url] { emit msg_addJwMess(sock, url); });
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
    toGui([this, sock, url, from] { emit msg_setVideoFile(url, sock, from); });
}

void JWdataManage::onVideoControl(Packet& p)
{
    const QString act = p.str(proto::kAct);
    const QString value = p.str(proto::kValue);
    const qint64 t = decimal64(p.str(proto::kTime));
    qCDebug(lcJwShow).noquote() << "debug recv video control" + act;
    if (act == proto::kPlay) {
        toGui([this] { emit msg_play(); }, kKeyPlay);
    } else if (act == proto::kStop) {
        toGui([this] { emit msg_stop(); }, kKeyStop);
    } else if (act == proto::kPause) {
        toGui([this] { emit msg_pause(); }, kKeyPause);
    } else if (act == proto::kFastForward) {
        toGui([this, t] { emit msg_SetFast(t); });
    } else if (act == proto::kFastBackward) {
        // -INT64_MIN does not exist; such a step is nonsense anyway.
        const qint64 back = t == std::numeric_limits<qint64>::min() ? 0 : -t;
        toGui([this, back] { emit msg_SetFast(back); });
    } else if (act == proto::kSeek) {
        toGui([this, t] { emit msg_setPosition(t); });
    } else if (act == proto::kVolume) {
        const int v = decimal(value);
        toGui([this, v] { emit msg_Setvolume(v); });
    } else if (act == proto::kMute) {
        if (value == proto::kTrue)
            toGui([this] { emit msg_setMute(); }, kKeyMute);
        else
            toGui([this] { emit msg_releaseMute(); }, kKeyUnmute);
    } else {
        p.rec.ret = proto::kFail;
        p.rec.desc = "unknown control act=:" + act;
        JWLOG::error(p.rec.desc);
    }
}

void JWdataManage::onResolution(Packet& p)
{
    const QString act = p.str(proto::kAct);
    if (act == proto::kSet) {
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
        toGuiNewestDisplay([this, pw, ph] { emit msg_ChangeResolution(pw, ph); });
    } else if (act == proto::kReduction) {
        toGuiNewestDisplay([this] { emit msg_ReductionResolution(); });
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
        g_rcPort = n;
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

// Every type without a route of its own: the whiteboard's, or unknown.
void JWdataManage::onWhiteboard(Packet& p)
{
    p.reply = false;
    const QString& type = p.rec.type;
    const QString id = p.rec.from;
    auto num = [&p](const char* key) { return numberField(p.obj.value(QLatin1String(key))); };

    if (type == proto::kWbStart) {
        // A board is a full-screen window with megabytes behind it: only a controller
        // logged in on this connection opens one, as itself. (Anyone else could
        // open boards without end under made-up names.)
        if (JwUserManage::GetInstance()->GetUserById(id).sock != p.sock) {
            qCDebug(lcJwShow) << "whiteboard refused, not logged in here:" << id;
            return;
        }
        toGui([this, id] { emit msg_startWhiteboard(id); });
    } else if (type == proto::kWbEnd) {
        toGui([this, id] { emit msg_endWhiteboard(id); });
    } else if (type == proto::kWbDrawing || type == proto::kWbDrawStart ||
               type == proto::kWbStringStart) {
        const QPoint at = packetPoint(p.obj);
        const int x = at.x(), y = at.y();
        if (type == proto::kWbDrawing)
            toGui([this, id, x, y] { emit msg_drawing(id, x, y); });
        else if (type == proto::kWbDrawStart)
            toGui([this, id, x, y] { emit msg_startDraw(id, x, y); });
        else
            toGui([this, id, x, y] { emit msg_startText(id, x, y); });
    } else if (type == proto::kWbDrawEnd) {
        toGui([this, id] { emit msg_endDraw(id); });
    } else if (type == proto::kWbShape) {
        static const auto* const kShapes = new QHash<QString, int>{
            {proto::kLine, 1}, {proto::kEllipse, 3}, {proto::kRect, 4}, {proto::kCurve, 5}};
        const int code = kShapes->value(p.str(proto::kAct), 0);
        if (code)
            toGui([this, id, code] { emit msg_shape(id, code); });
    } else if (type == proto::kWbClear) {
        toGui([this, id] { emit msg_clear(id); });
    } else if (type == proto::kWbColor) {
        const int r = num(proto::kR), g = num(proto::kG), b = num(proto::kB);
        toGui([this, id, r, g, b] { emit msg_setcolor(id, r, g, b); });
    } else if (type == proto::kWbUndo) {
        toGui([this, id] { emit msg_undo(id); });
    } else if (type == proto::kWbPenWidth) {
        const int w = decimal(p.str(proto::kValue));
        toGui([this, id, w] { emit msg_penwidth(id, w); });
    } else if (type == proto::kWbRedraw) {
        toGui([this, id] { emit msg_redraw(id); });
    } else if (type == proto::kWbStringSet) {
        const QString text = p.str(proto::kText);
        toGui([this, id, text] { emit msg_setText(id, text); });
    } else if (type == proto::kWbStringEnd) {
        toGui([this, id] { emit msg_endText(id); });
    } else {
        JWLOG::error("unknown type=:" + type);
    }
}

void JWdataManage::sendRetPack(SOCKET sock, const JWData& d)
{
    qCDebug(lcJwShow) << "socket = :" << sock;
    SendData(sock, BuildReply(d));
}

void JWdataManage::SendData(SOCKET sock, const QString& text)
{
    qCDebug(lcJwShow).noquote() << "send data::" + WithoutCode(text);
    WriteLogWindow(">>>>:", text);
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
    if (!JWShowService::GetInstance()->Send(sock, text.toUtf8(), !hold)) {
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
    toGui([this, ips] { emit msg_localIpChanged(ips); });
}
