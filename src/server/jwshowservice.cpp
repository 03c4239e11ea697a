#include "server/jwshowservice.h"

#include "base/jwdebug.h"
#include "base/jwlog.h"
#include "base/threadjoin.h"
#include "host/netsocket.h"
#include "protocol/reply.h"
#include "server/packetsplitter.h"

#include <QDebug>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace
{
using Clock = std::chrono::steady_clock;

constexpr int kReadSize = 16 * 1024;
constexpr int kMinReadSize = 1024;
constexpr int kBacklog = 20;
constexpr auto kAcceptBackoff = std::chrono::milliseconds(100);
constexpr int kAcceptsPerPass = 64;

// One accepted connection. The server thread reads it and closes it; any thread
// may queue bytes on it. The socket is used and closed only under outLock, so a
// sender can never write to a descriptor that was closed and handed out again.
struct Connection {
    Connection(host::Socket s, SOCKET i, std::string from)
        : id(i), host(std::move(from)), accepted(Clock::now()), socket(std::move(s))
    {
    }

    const SOCKET id;
    const std::string host;
    const Clock::time_point accepted;
    const std::shared_ptr<QueuedInput> input = std::make_shared<QueuedInput>();
    std::atomic<bool> loggedIn{false};
    // Server thread only:
    PacketSplitter splitter;
    bool sentPacket = false; // a complete packet arrived
    // The first bytes, held until they show whether a browser speaks HTTP here.
    QByteArray opening;
    bool openingChecked = false;

    std::mutex outLock;
    host::Socket socket;
    QByteArray unsent;          // replies the socket could not take yet
    int unsentOffset = 0;       // bytes of unsent already written
    Clock::time_point progress; // when unsent last shrank or began
    bool held = false;          // unsent waits for Flush, not for the server thread
    // Why the connection ends; anything but Open makes the server thread drop it.
    enum End {
        Open,
        ShutDown,
        SendFailed,
        TooMuchUnsent,
        NotReading,
        MadeRoom,
        NoPacket,
        Http
    } end = Open;

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

qint64 msBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

bool logsPackets()
{
    return g_debugMode || lcJwShow().isDebugEnabled();
}
} // namespace

struct JWShowService::Private {
    Private(PacketSink& s, const QString& host) : sink(s), greeting(Greeting(host)) {}

    PacketSink& sink;
    const QByteArray greeting;
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
                static const char* const kWhy[] = {"",
                                                   "",
                                                   "send failed",
                                                   "too many unsent replies",
                                                   "replies not read",
                                                   "room made for another host",
                                                   "no packet within 30 s",
                                                   "an HTTP request on the control port"};
                JWLOG::warning(
                    QStringLiteral("connection from %1 cut off: %2")
                        .arg(QString::fromStdString(c->host), QLatin1String(kWhy[c->end])));
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
        JWLOG::debug(QStringLiteral("connect closed."));
        sink.AddClose(c->id);
    }

    void accept(Clock::time_point* acceptResume);
    std::shared_ptr<Connection> roomFor() const; // caller holds connLock
    void read(const std::shared_ptr<Connection>& c, char* buf, int size);
    void split(const std::shared_ptr<Connection>& c, const char* data, int len);
};

JWShowService::JWShowService(PacketSink& sink, const QString& hostName)
    : d(new Private(sink, hostName))
{
}

JWShowService::~JWShowService()
{
    Terminate();
}

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
    d->stopRequested = true;
    d->waker.wake();
    if (QThread::currentThread() != this)
        threadjoin::Joined(wait(), this);
    d->listener.reset();
    d->listenPort = 0;
    CloseAll();
    d->stopRequested = false;
}

void JWShowService::CloseAll()
{
    std::map<SOCKET, std::shared_ptr<Connection>> all;
    {
        std::lock_guard<std::mutex> l(d->connLock);
        all = d->conns;
    }
    for (auto& kv : all) {
        std::lock_guard<std::mutex> l(kv.second->outLock);
        if (kv.second->end == Connection::Open)
            kv.second->end = Connection::ShutDown;
    }
    if (isRunning()) {
        d->waker.wake(); // the server thread drops them
        return;
    }
    for (auto& kv : all)
        d->drop(kv.second);
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
        // Held for Flush, but only while they are few: a run of large replies to a
        // controller that reads them leaves as it comes.
        c->held = !flush && !watched && c->unsentBytes() < kMaxHeldBytes;
        if (!c->held && !watched)
            c->flush();
        // Only what the socket did not take counts: held bytes were never offered.
        if (c->end == Connection::Open && !c->held && c->unsentBytes() > kMaxUnsent)
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
    d->sink.AddClose(sock);
}

std::vector<SOCKET> JWShowService::ReportTakers() const
{
    std::vector<std::shared_ptr<ExternalLink>> links;
    std::vector<SOCKET> ids;
    {
        std::lock_guard<std::mutex> l(d->connLock);
        for (const auto& kv : d->externals) {
            ids.push_back(kv.first);
            links.push_back(kv.second);
        }
    }
    // Asked without the map's lock: a link has a lock of its own.
    std::vector<SOCKET> takers;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (links[i]->takesReports())
            takers.push_back(ids[i]);
    }
    return takers;
}

bool JWShowService::TakesReports(SOCKET sock) const
{
    const std::shared_ptr<ExternalLink> link = d->findExternal(sock);
    return link && link->takesReports();
}

void JWShowService::WakeUp()
{
    d->waker.wake();
}

void JWShowService::SetLoggedIn(SOCKET sock, bool loggedIn)
{
    if (const std::shared_ptr<Connection> c = d->find(sock))
        c->loggedIn = loggedIn;
}

QString JWShowService::PeerHost(SOCKET sock) const
{
    const std::shared_ptr<Connection> c = d->find(sock);
    return c ? QString::fromStdString(c->host) : QString();
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
                JWLOG::error(QStringLiteral("accept error:%1 :client conut:%2 (%3)")
                                 .arg(a.error)
                                 .arg(conns.size())
                                 .arg(QString::fromStdString(host::ErrorText(a.error))));
                // Out of descriptors: the listener stays readable, so polling it
                // again at once would only spin. Give the system a moment.
                if (host::IsResourceShortage(a.error))
                    *acceptResume = Clock::now() + kAcceptBackoff;
            }
            return;
        }
        std::shared_ptr<Connection> evicted;
        {
            std::lock_guard<std::mutex> l(connLock);
            if (conns.size() >= size_t(kMaxConnections) && !(evicted = roomFor())) {
                qCDebug(lcJwShow) << "connection refused, already" << conns.size()
                                  << "logged in, from" << a.peer.c_str();
                continue; // closed as it goes
            }
        }
        if (evicted) {
            {
                std::lock_guard<std::mutex> l(evicted->outLock);
                evicted->end = Connection::MadeRoom;
            }
            drop(evicted);
        }
        int count;
        {
            std::lock_guard<std::mutex> l(connLock);
            auto c = std::make_shared<Connection>(std::move(a.socket), takeId(), a.peer);
            // The greeting is queued before the connection is visible to senders,
            // so it is always the first thing a controller reads.
            c->unsent = greeting;
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
        JWLOG::debug(line);
    }
}

// At the connection limit: the oldest connection of the host that holds the most
// connections without a controller logged in, so that one host cannot keep every
// other out; none when every connection has logged in.
std::shared_ptr<Connection> JWShowService::Private::roomFor() const
{
    std::unordered_map<std::string, int> idle;
    for (const auto& kv : conns) {
        if (!kv.second->loggedIn)
            ++idle[kv.second->host];
    }
    if (idle.empty())
        return nullptr;
    const auto most = std::max_element(
        idle.begin(), idle.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
    for (const auto& kv : conns) { // in accept order: the oldest first
        if (!kv.second->loggedIn && kv.second->host == most->first)
            return kv.second;
    }
    return nullptr;
}

void JWShowService::Private::read(const std::shared_ptr<Connection>& c, char* buf, int size)
{
    const host::IoResult r = host::Receive(c->socket.get(), buf, size_t(size));
    if (r.status == host::IoResult::WouldBlock)
        return;
    if (r.status != host::IoResult::Done) {
        drop(c);
        return;
    }
    if (logsPackets()) {
        const QString text = WithoutCode(QString::fromUtf8(buf, int(r.bytes)));
        qCDebug(lcJwShow).noquote() << "recv Data:" + text;
    }
    if (c->openingChecked) {
        split(c, buf, int(r.bytes));
        return;
    }
    // A web page can make a browser send to this port; its request must not reach
    // the dispatcher as junk before a packet. Phones never speak HTTP here.
    c->opening.append(buf, int(r.bytes));
    switch (HttpRequestOpening(c->opening)) {
    case HttpOpening::NeedMore:
        return;
    case HttpOpening::Yes:
        JWLOG::debug(QStringLiteral("HTTP request on the control port from ") +
                     QString::fromStdString(c->host));
        {
            std::lock_guard<std::mutex> l(c->outLock);
            c->end = Connection::Http;
        }
        drop(c);
        return;
    case HttpOpening::No:
        c->openingChecked = true;
        split(c, c->opening.constData(), c->opening.size());
        c->opening = QByteArray();
        return;
    }
}

void JWShowService::Private::split(const std::shared_ptr<Connection>& c, const char* data, int len)
{
    PacketBatch batch = c->splitter.feed(data, len);
    if (batch.isEmpty())
        return;
    c->sentPacket = true;
    sink.AddPackets(c->id, std::move(batch), c->input);
}

void JWShowService::run()
{
    const threadjoin::EndGuard end{this};
    qCDebug(lcJwShow) << "start accept";
    JWLOG::debug(QStringLiteral("start accept"));
    std::vector<host::PollItem> items;
    std::vector<std::shared_ptr<Connection>> watched;
    std::vector<char> buf(kReadSize);
    Clock::time_point acceptResume;

    while (d->serving && !d->stopRequested) {
        const Clock::time_point now = Clock::now();
        const bool acceptPaused = now < acceptResume;
        std::vector<std::shared_ptr<Connection>> snapshot;
        {
            std::lock_guard<std::mutex> l(d->connLock);
            snapshot.reserve(d->conns.size());
            for (auto& kv : d->conns)
                snapshot.push_back(kv.second);
        }
        // What the dispatcher may hold is shared out among the connections that
        // have packets waiting there (and one more, a newcomer). One at its share
        // is not read: its bytes wait in the kernel and TCP slows the writer down,
        // while a connection with nothing waiting is always read.
        const qint64 waitingConnections =
            std::count_if(snapshot.begin(), snapshot.end(),
                          [](const std::shared_ptr<Connection>& c) { return c->input->cost > 0; });
        const qint64 share =
            std::min(kMaxQueuedInput, PacketSink::kMaxQueuedCost / (waitingConnections + 1));

        items.clear();
        watched.clear();
        items.push_back({d->waker.handle(), true});
        items.push_back({acceptPaused ? host::kNoSocket : d->listener.get(), true});
        // No timer runs while nothing is owed: an idle server sleeps until a
        // socket or another thread wakes it.
        qint64 timeoutMs = acceptPaused ? msBetween(now, acceptResume) + 1 : -1;
        for (const std::shared_ptr<Connection>& c : snapshot) {
            bool ended;
            qint64 unsent;
            Clock::time_point since;
            {
                std::lock_guard<std::mutex> l(c->outLock);
                if (c->end == Connection::Open && c->unsentBytes() > 0 &&
                    msBetween(c->progress, now) >= kStallMs)
                    c->end = Connection::NotReading;
                ended = c->end != Connection::Open;
                unsent = c->held ? 0 : c->unsentBytes();
                since = c->progress;
            }
            if (!ended && !c->sentPacket) {
                const qint64 left = kFirstPacketMs - msBetween(c->accepted, now);
                if (left <= 0) {
                    std::lock_guard<std::mutex> l(c->outLock);
                    c->end = Connection::NoPacket;
                    ended = true;
                } else {
                    timeoutMs = timeoutMs < 0 ? left : std::min(timeoutMs, left);
                }
            }
            if (ended) {
                d->drop(c);
                continue;
            }
            host::PollItem item;
            item.socket = c->socket.get();
            item.wantRead = c->input->cost < share && unsent <= kMaxUnsentWhileReading;
            item.wantWrite = unsent > 0;
            if (unsent > 0) {
                const qint64 left = kStallMs - msBetween(since, now);
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
                // A read brings at most about its share: a flood of tiny packets
                // costs up to three times its bytes while it waits.
                const qint64 room = (share - c->input->cost) / 3;
                d->read(c, buf.data(), int(std::clamp<qint64>(room, kMinReadSize, kReadSize)));
            } else if (it.broken) {
                // Gone while we were not reading it: nothing more can arrive.
                d->drop(c);
            }
        }
        if (items[1].readable)
            d->accept(&acceptResume);
    }
}
