#include "client.h"

#include "jwinstance.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bench
{

QByteArray loginRequest(const QByteArray& from)
{
    return R"({"type":"login","id":"1","from":")" + from + R"(","name":"bench","pwd":"p"})";
}
QByteArray modeRequest(const QByteArray& from, const QByteArray& id)
{
    return R"({"type":"mode","id":")" + id + R"(","from":")" + from + R"(","value":"show"})";
}
QByteArray fileListRequest(const QByteArray& from)
{
    return R"({"type":"file.list","id":"9","from":")" + from + R"("})";
}
QByteArray expectedModeReply(const QByteArray& from, const QByteArray& id)
{
    return R"({"desc":"","from":"jwshow","id":")" + id + R"(","ret":"0","to":")" + from +
           R"(","type":"mode"})";
}

namespace
{
const QByteArray& greeting()
{
    static const QByteArray g = jwtest::expectedGreeting(); // asks for the host name once
    return g;
}

// poll on one descriptor that outlasts signals (the program's end raises SIGCHLD
// here): true when an event came within timeoutMs.
bool pollOne(pollfd& p, int timeoutMs)
{
    QDeadlineTimer deadline(std::max(timeoutMs, 0));
    for (;;) {
        const int n = ::poll(&p, 1, int(deadline.remainingTime()));
        if (n >= 0 || errno != EINTR)
            return n == 1;
    }
}

// A refused or unanswered connect (a full listen queue) must not hang the run
// for the kernel's two-minute connect timeout.
int connectWithin(quint16 port, int timeoutMs)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int err = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? 0 : errno;
    if (err == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        socklen_t len = sizeof err;
        err = pollOne(p, timeoutMs) ? 0 : ETIMEDOUT;
        if (err == 0)
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
    }
    if (err != 0) {
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    const int one = 1; // the program sets it on its side too: no Nagle wait on either end
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}
} // namespace

bool Client::connectOnly(quint16 port, int timeoutMs)
{
    close();
    QDeadlineTimer deadline(timeoutMs);
    fd_ = connectWithin(port, timeoutMs);
    if (fd_ < 0)
        return false;
    // The greeting has no terminator: wait for its known length.
    while (buffer_.size() < greeting().size())
        if (!fill(int(deadline.remainingTime())))
            return false;
    if (!buffer_.startsWith(greeting()))
        return false;
    buffer_.remove(0, greeting().size());
    return true;
}

bool Client::open(quint16 port, const QByteArray& from, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    return connectOnly(port, timeoutMs) && send(loginRequest(from)) &&
           !nextReply(int(deadline.remainingTime())).isEmpty();
}

void Client::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    scanner_.reset();
    buffer_.clear();
    scanned_ = 0;
}

bool Client::send(const QByteArray& bytes)
{
    for (qint64 off = 0; off < bytes.size();) {
        const ssize_t n =
            ::send(fd_, bytes.constData() + off, size_t(bytes.size() - off), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        off += n;
    }
    return true;
}

bool Client::fill(int timeoutMs)
{
    pollfd p{fd_, POLLIN, 0};
    if (fd_ < 0 || !pollOne(p, timeoutMs))
        return false;
    char buf[65536];
    ssize_t n;
    while ((n = ::recv(fd_, buf, sizeof buf, 0)) < 0 && errno == EINTR) {
    }
    if (n <= 0)
        return false;
    buffer_.append(buf, int(n));
    return true;
}

int Client::scan(qint64 want, qint64& found)
{
    const char* p = buffer_.constData();
    for (int i = scanned_; i < buffer_.size(); ++i) {
        if (scanner_.step(p[i]) == JsonObjectScanner::ObjectEnd && ++found == want) {
            scanned_ = i + 1;
            return scanned_;
        }
    }
    scanned_ = buffer_.size();
    return 0;
}

QByteArray Client::nextReply(int timeoutMs)
{
    qint64 found = 0;
    for (;;) {
        if (const int end = scan(1, found)) {
            const QByteArray reply = buffer_.left(end);
            buffer_.remove(0, end);
            scanned_ = 0;
            return reply;
        }
        if (!fill(timeoutMs))
            return QByteArray();
    }
}

bool Client::skipReplies(qint64 count, int timeoutMs)
{
    qint64 found = 0;
    while (found < count) {
        if (const int end = scan(count, found)) {
            buffer_.remove(0, end);
            scanned_ = 0;
            return true;
        }
        // All seen and none kept: the scanner carries a cut object over.
        buffer_.clear();
        scanned_ = 0;
        if (!fill(timeoutMs))
            return false;
    }
    return true;
}

qint64 Client::roundTrip(const QByteArray& request, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    if (!send(request) || nextReply(timeoutMs).isEmpty())
        return -1;
    return t.nsecsElapsed();
}

Latency latencyOf(std::vector<qint64> ns)
{
    Latency l;
    if (ns.empty())
        return l;
    std::sort(ns.begin(), ns.end());
    l.count = int(ns.size());
    l.p50Ms = double(ns[ns.size() / 2]) / 1e6;
    l.p99Ms = double(ns[std::min(ns.size() - 1, ns.size() * 99 / 100)]) / 1e6;
    l.maxMs = double(ns.back()) / 1e6;
    return l;
}

} // namespace bench
