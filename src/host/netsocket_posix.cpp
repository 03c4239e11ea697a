#include "host/netsocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace host
{

namespace
{
int fdOf(SocketHandle h)
{
    return static_cast<int>(h);
}

void setIntOption(int fd, int level, int name, int value)
{
    ::setsockopt(fd, level, name, &value, sizeof value);
}

IoResult failure(int e)
{
    IoResult r;
    if (e == EAGAIN || e == EWOULDBLOCK) {
        r.status = IoResult::WouldBlock;
    } else if (e == ECONNRESET || e == EPIPE || e == ENOTCONN || e == ETIMEDOUT) {
        r.status = IoResult::Closed;
        r.error = e;
    } else {
        r.status = IoResult::Failed;
        r.error = e;
    }
    return r;
}
} // namespace

void Socket::reset()
{
    if (h_ != kNoSocket)
        ::close(fdOf(h_));
    h_ = kNoSocket;
}

Socket ListenTcp4(std::uint16_t port, int backlog, int* error, const char** stage)
{
    *stage = "bind";
    // Close-on-exec: the companion started later must not inherit the port.
    Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP));
    if (!s.valid()) {
        *error = errno;
        return Socket();
    }
    // Linux refuses a port with connections still in TIME_WAIT (after a restart or
    // a port change), where Windows allows it; a live listener still fails.
    setIntOption(fdOf(s.get()), SOL_SOCKET, SO_REUSEADDR, 1);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    if (::bind(fdOf(s.get()), reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        *error = errno;
        return Socket();
    }
    *stage = "listen";
    if (::listen(fdOf(s.get()), backlog) < 0) {
        *error = errno;
        return Socket();
    }
    *error = 0;
    return s;
}

Accepted AcceptTcp(SocketHandle listener)
{
    Accepted a;
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int fd;
    do {
        fd = ::accept4(fdOf(listener), reinterpret_cast<sockaddr*>(&peer), &len,
                       SOCK_CLOEXEC | SOCK_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int e = errno;
        // None waiting, or one that left before we took it: nothing to report.
        if (e != EAGAIN && e != EWOULDBLOCK && e != ECONNABORTED)
            a.error = e;
        return a;
    }
    a.socket = Socket(fd);
    setIntOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
#ifdef TCP_KEEPIDLE
    setIntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, 10);
    setIntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, 5);
    setIntOption(fd, IPPROTO_TCP, TCP_KEEPCNT, 3);
#endif
    setIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    char ip[INET_ADDRSTRLEN] = {0};
    ::inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
    a.peer = ip;
    a.peerPort = ntohs(peer.sin_port);
    return a;
}

IoResult Receive(SocketHandle s, char* buf, std::size_t len)
{
    for (;;) {
        const ssize_t n = ::recv(fdOf(s), buf, len, MSG_DONTWAIT);
        if (n > 0)
            return IoResult{IoResult::Done, std::size_t(n), 0};
        if (n == 0)
            return IoResult{IoResult::Closed, 0, 0};
        if (errno != EINTR)
            return failure(errno);
    }
}

IoResult SendSome(SocketHandle s, const char* data, std::size_t len)
{
    for (;;) {
        const ssize_t n = ::send(fdOf(s), data, len, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0)
            return IoResult{IoResult::Done, std::size_t(n), 0};
        if (errno != EINTR)
            return failure(errno);
    }
}

void ShutdownSocket(SocketHandle s)
{
    ::shutdown(fdOf(s), SHUT_RDWR);
}

bool IsResourceShortage(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

std::string ErrorText(int error)
{
    return std::strerror(error);
}

int Poll(std::vector<PollItem>& items, int timeoutMs, int* error)
{
    std::vector<pollfd> fds(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        const PollItem& it = items[i];
        fds[i].fd = it.socket == kNoSocket ? -1 : fdOf(it.socket);
        fds[i].events = short((it.wantRead ? POLLIN : 0) | (it.wantWrite ? POLLOUT : 0));
        fds[i].revents = 0;
    }
    int n;
    do {
        n = ::poll(fds.data(), nfds_t(fds.size()), timeoutMs);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        *error = errno;
        return -1;
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        const short re = fds[i].revents;
        items[i].readable = re & POLLIN;
        items[i].writable = re & POLLOUT;
        items[i].broken = re & (POLLERR | POLLHUP | POLLNVAL);
    }
    return n;
}

Waker::Waker()
{
    int p[2];
    if (::pipe2(p, O_CLOEXEC | O_NONBLOCK) == 0) {
        read_ = p[0];
        write_ = p[1];
    }
}

Waker::~Waker()
{
    if (read_ != kNoSocket)
        ::close(fdOf(read_));
    if (write_ != kNoSocket)
        ::close(fdOf(write_));
}

bool Waker::valid() const
{
    return read_ != kNoSocket;
}

SocketHandle Waker::handle() const
{
    return read_;
}

void Waker::wake()
{
    const char b = 1;
    // A full pipe already wakes the poller; nothing is lost by a failed write.
    (void)!::write(fdOf(write_), &b, 1);
}

void Waker::drain()
{
    char buf[64];
    while (::read(fdOf(read_), buf, sizeof buf) > 0) {
    }
}

} // namespace host
