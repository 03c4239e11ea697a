#include "server/jwshowservice.h"

#include "base/appglobals.h"
#include "base/jwdebug.h"
#include "base/jwlog.h"
#include "base/threadjoin.h"
#include "host/netsocket.h"
#include "protocol/reply.h"
#include "server/jwdatamanage.h"
#include "server/packetsplitter.h"

#include <QDebug>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace
{
using Clock = std::chrono::steady_clock;

constexpr int kReadSize = 16 * 1024;
constexpr int kBacklog = 20;
constexpr auto kAcceptBackoff = std::chrono::milliseconds(100);
constexpr int kAcceptsPerPass = 64;

// One accepted connection. The server thread reads it and closes it; any thread
// may queue bytes on it. The socket is used and closed only under outLock, so a
// sender can never write to a descriptor that was closed and handed out again.
struct Connection {
    Connection(host::Socket s, SOCKET i) : id(i), socket(std::move(s)) {}

    const SOCKET id;
    const std::shared_ptr<QueuedInput> input = std::make_shared<QueuedInput>();
    PacketSplitter splitter; // server thread only

    std::mutex outLock;
    host::Socket socket;
    QByteArray unsent;          // replies the socket could not take yet
    int unsentOffset = 0;       // bytes of unsent already written
    Clock::time_point progress; // when unsent last shrank or began
    bool held = false;          // unsent waits for Flush, not for the server thread
    // Why the connection ends; anything but Open makes the server thread drop it.
    enum End { Open, ShutDown, SendFailed, TooMuchUnsent, NotReading } end = Open;

    qint64 unsentBytes() const { return unsent.size() - unsentOffset; }

    // Writes what the socket takes now. Caller holds outLock.
    void flush()
    {
        while (end == Open && unsentBytes() > 0) {
            const host::IoResult r = host::SendSome(socket.get(), unsent.constData() + unsentOffset,
                                                    size_t(unsentBytes()));
            if (r.status == host::IoResult::WouldBlock)
                return;
            if (r.status != host::IoResult::Done) {
                end = SendFailed;
                return;
            }
            unsentOffset += int(r.bytes);
            progress = Clock::now();
        }
        if (unsentBytes() == 0) {
            unsent.clear();
            unsentOffset = 0;
        }
    }
};

bool logsPackets()
{
    return g_debugMode || lcJwShow().isDebugEnabled();
}
} // namespace

struct JWShowService::Private {
    host::Socket listener; // replaced only while the server thread is stopped
    host::Waker waker;
    std::atomic<int> listenPort{0};
    std::atomic<bool> serving{true};
    std::atomic<bool> stopRequested{false};

    mutable std::mutex connLock; // guards conns, externals and nextId
    std::map<SOCKET, std::shared_ptr<Connection>> conns;
    std::map<SOCKET, std::shared_ptr<ExternalLink>> externals;
    SOCKET nextId = 1;

    SOCKET takeId() // caller holds connLock
    {
        const SOCKET id = nextId++;
        if (nextId == 0) // 0 means "no connection"
            nextId = 1;
        return id;
    }

    // Looked up only when a number is no TCP connection, so the TCP path pays
    // nothing for the external ones.
    std::shared_ptr<ExternalLink> findExternal(SOCKET s) const
    {
        std::lock_guard<std::mutex> l(connLock);
        auto it = externals.find(s);
        return it == externals.end() ? nullptr : it->second;
    }

    std::shared_ptr<Connection> find(SOCKET s) const
    {
        std::lock_guard<std::mutex> l(connLock);
        auto it = conns.find(s);
        return it == conns.end() ? nullptr : it->second;
    }

    // Closes the connection and queues its close behind its packets. Replies still
    // waiting get one last chance to leave (a logout's earlier replies, say).
    void drop(const std::shared_ptr<Connection>& c)
    {
        {
            std::lock_guard<std::mutex> l(c->outLock);
            if (c->end == Connection::ShutDown) {
                c->end = Connection::Open;
                c->flush();
            } else if (c->end != Connection::Open) {
                static const char* const kWhy[] = {"", "", "send failed", "too many unsent replies",
                                                   "replies not read"};
                qWarning("connection %u cut off: %s", c->id, kWhy[c->end]);
                JWLOG::debug(QStringLiteral("connection cut off:") + QLatin1String(kWhy[c->end]));
            }
            c->end = Connection::ShutDown; // for senders still holding it
            c->socket.reset();
            c->unsent.clear();
            c->unsentOffset = 0;
        }
        // Its unfinished text (up to 64 KiB) is freed now, before the dispatcher
        // hears of the close and gives free memory back: the object itself may
        // outlive this pass of the loop.
        c->splitter.reset();
        {
            std::lock_guard<std::mutex> l(connLock);
            conns.erase(c->id);
        }
        JWLOG::debug(QStringLiteral("client close:"));
        WriteLogWindow(QStringLiteral("connect closed."));
        JWdataManage::GetInstance()->AddClose(c->id);
    }

    void accept(Clock::time_point* acceptResume);
    void read(const std::shared_ptr<Connection>& c, char* buf);
};

JWShowService* JWShowService::GetInstance()
{
    // Never destroyed: the server thread may still run at exit, and destroying a
    // running QThread aborts the process.
    static JWShowService* instance = new JWShowService;
    return instance;
}

JWShowService::JWShowService() : d(new Private) {}

JWShowService::~JWShowService() = default;

bool JWShowService::Init(int port)
{
    JWLOG::debug("listen port:" + QString::number(port));
    qCDebug(lcJwShow) << "listening:" << port;
    int error = 0;
    const char* stage = "bind";
    host::Socket s;
    // Port 0 would listen on a port nobody is told of, and a larger number would
    // wrap to an unrelated port: both fail like a port that cannot be bound, so
    // the caller's fallback ports are tried.
    if (port > 0 && port <= 65535)
        s = host::ListenTcp4(quint16(port), kBacklog, &error, &stage);
    else
        error = EINVAL;
    if (!s.valid()) {
        JWLOG::error(QStringLiteral("error : %1 error:%2").arg(QLatin1String(stage)).arg(error));
        WriteLogWindow(QStringLiteral("%1 error").arg(QLatin1String(stage)));
        return false;
    }
    qCDebug(lcJwShow) << "listening on port:" << port;

    if (isRunning()) {
        d->stopRequested = true;
        d->waker.wake();
        threadjoin::Joined(wait(), this);
    }
    d->listener = std::move(s);
    d->listenPort = port;
    d->stopRequested = false;
    d->serving = true;
    start(QThread::InheritPriority);
    return true;
}

void JWShowService::Stop()
{
    d->serving = false;
    d->waker.wake();
    if (QThread::currentThread() != this)
        threadjoin::Joined(wait(200), this);
}

void JWShowService::Terminate()
{
    JWShowService* self = GetInstance();
    Private* p = self->d.get();
    p->stopRequested = true;
    p->waker.wake();
    if (QThread::currentThread() != self)
        threadjoin::Joined(self->wait(), self);
    p->listener.reset();
    p->listenPort = 0;
    std::map<SOCKET, std::shared_ptr<Connection>> all;
    {
        std::lock_guard<std::mutex> l(p->connLock);
        all = p->conns;
    }
    for (auto& kv : all)
        p->drop(kv.second);
    p->stopRequested = false;
}

bool JWShowService::Send(SOCKET sock, const QByteArray& bytes, bool flush)
{
    const std::shared_ptr<Connection> c = d->find(sock);
    if (!c) {
        const std::shared_ptr<ExternalLink> link = d->findExternal(sock);
        return link && link->send(bytes, flush);
    }
    bool wake = false;
    bool ok;
    {
        std::lock_guard<std::mutex> l(c->outLock);
        if (c->end != Connection::Open)
            return false;
        if (c->unsentBytes() == 0)
            c->progress = Clock::now();
        // Bytes the server thread already waits to write go after those.
        const bool watched = c->unsentBytes() > 0 && !c->held;
        c->unsent.append(bytes);
        c->held = !flush && !watched;
        if (flush && !watched)
            c->flush();
        if (c->end == Connection::Open && c->unsentBytes() > kMaxUnsent)
            c->end = Connection::TooMuchUnsent;
        ok = c->end == Connection::Open;
        // The server thread must start watching for room to write, or drop it.
        wake = !ok || (!watched && !c->held && c->unsentBytes() > 0);
    }
    if (wake)
        d->waker.wake();
    return ok;
}

void JWShowService::Flush(SOCKET sock)
{
    const std::shared_ptr<Connection> c = d->find(sock);
    if (!c) {
        if (const std::shared_ptr<ExternalLink> link = d->findExternal(sock))
            link->flush();
        return;
    }
    bool wake;
    {
        std::lock_guard<std::mutex> l(c->outLock);
        if (!c->held || c->end != Connection::Open)
            return;
        c->held = false;
        c->flush();
        wake = c->end != Connection::Open || c->unsentBytes() > 0;
    }
    if (wake)
        d->waker.wake();
}

void JWShowService::Shutdown(SOCKET sock)
{
    const std::shared_ptr<Connection> c = d->find(sock);
    if (!c) {
        if (const std::shared_ptr<ExternalLink> link = d->findExternal(sock))
            link->shutdown();
        return;
    }
    {
        std::lock_guard<std::mutex> l(c->outLock);
        if (c->end != Connection::Open)
            return;
        c->end = Connection::ShutDown;
    }
    d->waker.wake();
}

SOCKET JWShowService::Attach(std::shared_ptr<ExternalLink> link)
{
    std::lock_guard<std::mutex> l(d->connLock);
    const SOCKET id = d->takeId();
    d->externals.emplace(id, std::move(link));
    return id;
}

void JWShowService::Detach(SOCKET sock)
{
    std::shared_ptr<ExternalLink> gone; // released after the lock
    {
        std::lock_guard<std::mutex> l(d->connLock);
        auto it = d->externals.find(sock);
        if (it == d->externals.end())
            return;
        gone = std::move(it->second);
        d->externals.erase(it);
    }
    JWdataManage::GetInstance()->AddClose(sock);
}

void JWShowService::WakeUp()
{
    d->waker.wake();
}

int JWShowService::ListenPort() const
{
    return d->listenPort;
}

int JWShowService::ConnectionCount() const
{
    std::lock_guard<std::mutex> l(d->connLock);
    return int(d->conns.size());
}

void JWShowService::Private::accept(Clock::time_point* acceptResume)
{
    for (int k = 0; k < kAcceptsPerPass; ++k) {
        host::Accepted a = host::AcceptTcp(listener.get());
        if (!a.socket.valid()) {
            if (a.error) {
                qWarning("accept error: %s", host::ErrorText(a.error).c_str());
                JWLOG::debug("accept error:" +
                             QStringLiteral("%1 :client conut:%2").arg(a.error).arg(conns.size()));
                WriteLogWindow(QStringLiteral("accept error"));
                // Out of descriptors: the listener stays readable, so polling it
                // again at once would only spin. Give the system a moment.
                if (host::IsResourceShortage(a.error))
                    *acceptResume = Clock::now() + kAcceptBackoff;
            }
            return;
        }
        int count;
        {
            std::lock_guard<std::mutex> l(connLock);
            if (conns.size() >= size_t(kMaxConnections)) {
                qCDebug(lcJwShow) << "connection refused, already" << conns.size() << "from"
                                  << a.peer.c_str();
                continue; // closed as it goes
            }
            auto c = std::make_shared<Connection>(std::move(a.socket), takeId());
            // The greeting is queued before the connection is visible to senders,
            // so it is always the first thing a controller reads.
            c->unsent = Greeting(g_computerName);
            c->progress = Clock::now();
            c->flush();
            conns.emplace(c->id, c);
            count = int(conns.size());
        }
        qCDebug(lcJwShow) << "new connection client:" << count;
        qCDebug(lcJwShow) << "new connection addr:" << a.peer.c_str();
        qCDebug(lcJwShow) << "new connection Port:" << a.peerPort;
        const QString line = QStringLiteral("new connection count:%1:addr:%2:Port:%3")
                                 .arg(count)
                                 .arg(QString::fromStdString(a.peer))
                                 .arg(a.peerPort);
        WriteLogWindow(line);
        JWLOG::debug(line);
    }
}

void JWShowService::Private::read(const std::shared_ptr<Connection>& c, char* buf)
{
    const host::IoResult r = host::Receive(c->socket.get(), buf, kReadSize);
    if (r.status == host::IoResult::WouldBlock)
        return;
    if (r.status != host::IoResult::Done) {
        drop(c);
        return;
    }
    if (logsPackets()) {
        const QString text = WithoutCode(QString::fromUtf8(buf, int(::strnlen(buf, r.bytes))));
        qCDebug(lcJwShow).noquote() << "recv Data:" + text;
        JWLOG::debug("recv Data:" + text);
    }
    const QStringList pieces = c->splitter.feed(buf, int(r.bytes));
    if (!pieces.isEmpty())
        JWdataManage::GetInstance()->AddPackets(c->id, pieces, c->input);
}

void JWShowService::run()
{
    const threadjoin::EndGuard end{this};
    qCDebug(lcJwShow) << "start accept";
    JWLOG::debug(QStringLiteral("start accept"));
    JWdataManage* dm = JWdataManage::GetInstance();

    std::vector<host::PollItem> items;
    std::vector<std::shared_ptr<Connection>> watched;
    std::vector<char> buf(kReadSize);
    Clock::time_point acceptResume;

    while (d->serving && !d->stopRequested) {
        const Clock::time_point now = Clock::now();
        const bool acceptPaused = now < acceptResume;
        // While the dispatcher is far behind, nothing is read: the controllers'
        // bytes wait in the kernel and TCP slows the writers down.
        const bool backlogged = dm->Backlogged();
        std::vector<std::shared_ptr<Connection>> snapshot;
        {
            std::lock_guard<std::mutex> l(d->connLock);
            snapshot.reserve(d->conns.size());
            for (auto& kv : d->conns)
                snapshot.push_back(kv.second);
        }

        items.clear();
        watched.clear();
        items.push_back({d->waker.handle(), true});
        items.push_back({acceptPaused ? host::kNoSocket : d->listener.get(), true});
        // No timer runs while nothing is owed: an idle server sleeps until a
        // socket or another thread wakes it.
        qint64 timeoutMs =
            acceptPaused ? std::chrono::duration_cast<std::chrono::milliseconds>(acceptResume - now)
                                   .count() +
                               1
                         : -1;
        for (const std::shared_ptr<Connection>& c : snapshot) {
            bool ended;
            qint64 unsent;
            Clock::time_point since;
            {
                std::lock_guard<std::mutex> l(c->outLock);
                const qint64 stalledMs =
                    std::chrono::duration_cast<std::chrono::milliseconds>(now - c->progress)
                        .count();
                if (c->end == Connection::Open && c->unsentBytes() > 0 && stalledMs >= kStallMs)
                    c->end = Connection::NotReading;
                ended = c->end != Connection::Open;
                unsent = c->held ? 0 : c->unsentBytes();
                since = c->progress;
            }
            if (ended) {
                d->drop(c);
                continue;
            }
            host::PollItem item;
            item.socket = c->socket.get();
            item.wantRead = !backlogged && c->input->chars <= kMaxQueuedInput &&
                            unsent <= kMaxUnsentWhileReading;
            item.wantWrite = unsent > 0;
            if (unsent > 0) {
                const qint64 left =
                    kStallMs -
                    std::chrono::duration_cast<std::chrono::milliseconds>(now - since).count();
                timeoutMs = timeoutMs < 0 ? left : std::min(timeoutMs, left);
            }
            items.push_back(item);
            watched.push_back(c);
        }

        int error = 0;
        if (host::Poll(items, int(std::max<qint64>(timeoutMs, -1)), &error) < 0) {
            const QString msg =
                QString::number(error) + ":" + QString::fromStdString(host::ErrorText(error));
            JWLOG::debug("select ret < 0 : errno:" + msg);
            qCDebug(lcJwShow).noquote() << "select ret < 0 : errno:" + msg;
            break;
        }
        if (items[0].readable)
            d->waker.drain();

        for (size_t i = 0; i < watched.size(); ++i) {
            const host::PollItem& it = items[i + 2];
            const std::shared_ptr<Connection>& c = watched[i];
            if (it.writable) {
                std::lock_guard<std::mutex> l(c->outLock);
                c->flush();
            }
            if (it.readable && it.wantRead) {
                d->read(c, buf.data());
            } else if (it.broken) {
                // Gone while we were not reading it: nothing more can arrive.
                d->drop(c);
            }
        }
        if (items[1].readable)
            d->accept(&acceptResume);
    }
}
