#include "host/netsocket.h"

// Winsock first: windows.h would otherwise pull in the old winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <mstcpip.h>
#include <windows.h>

namespace host
{

namespace
{
// Winsock is started once for the process and left running until it ends.
struct WinsockStart {
    WinsockStart()
    {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
    }
};

void ensureWinsock()
{
    static WinsockStart once;
    (void)once;
}

SOCKET sockOf(SocketHandle h)
{
    return static_cast<SOCKET>(h);
}

SocketHandle handleOf(SOCKET s)
{
    return s == INVALID_SOCKET ? kNoSocket : static_cast<SocketHandle>(s);
}

void setNonBlocking(SOCKET s)
{
    u_long on = 1;
    ::ioctlsocket(s, FIONBIO, &on);
}

IoResult failure(int e)
{
    IoResult r;
    if (e == WSAEWOULDBLOCK) {
        r.status = IoResult::WouldBlock;
    } else if (e == WSAECONNRESET || e == WSAECONNABORTED || e == WSAENOTCONN ||
               e == WSAESHUTDOWN || e == WSAETIMEDOUT) {
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
        ::closesocket(sockOf(h_));
    h_ = kNoSocket;
}

Socket ListenTcp4(std::uint16_t port, int backlog, int* error, const char** stage)
{
    ensureWinsock();
    *stage = "bind";
    // Not inherited: the companion started later must not hold the port.
    Socket s(handleOf(
        ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT)));
    if (!s.valid()) {
        *error = ::WSAGetLastError();
        return Socket();
    }
    // Windows would let another program bind the same port beside us otherwise.
    BOOL exclusive = TRUE;
    ::setsockopt(sockOf(s.get()), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                 reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
    setNonBlocking(sockOf(s.get()));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    if (::bind(sockOf(s.get()), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        *error = ::WSAGetLastError();
        return Socket();
    }
    *stage = "listen";
    if (::listen(sockOf(s.get()), backlog) != 0) {
        *error = ::WSAGetLastError();
        return Socket();
    }
    *error = 0;
    return s;
}

Accepted AcceptTcp(SocketHandle listener)
{
    Accepted a;
    sockaddr_in peer{};
    int len = sizeof peer;
    const SOCKET s = ::accept(sockOf(listener), reinterpret_cast<sockaddr*>(&peer), &len);
    if (s == INVALID_SOCKET) {
        const int e = ::WSAGetLastError();
        if (e != WSAEWOULDBLOCK && e != WSAECONNRESET)
            a.error = e;
        return a;
    }
    a.socket = Socket(handleOf(s));
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    setNonBlocking(s);
    tcp_keepalive ka{};
    ka.onoff = 1;
    ka.keepalivetime = 10000;
    ka.keepaliveinterval = 5000;
    DWORD returned = 0;
    ::WSAIoctl(s, SIO_KEEPALIVE_VALS, &ka, sizeof ka, nullptr, 0, &returned, nullptr, nullptr);
    BOOL noDelay = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                 sizeof noDelay);
    char ip[INET_ADDRSTRLEN] = {0};
    ::inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
    a.peer = ip;
    a.peerPort = ntohs(peer.sin_port);
    return a;
}

IoResult Receive(SocketHandle s, char* buf, std::size_t len)
{
    const int n = ::recv(sockOf(s), buf, static_cast<int>(len), 0);
    if (n > 0)
        return IoResult{IoResult::Done, std::size_t(n), 0};
    if (n == 0)
        return IoResult{IoResult::Closed, 0, 0};
    return failure(::WSAGetLastError());
}

IoResult SendSome(SocketHandle s, const char* data, std::size_t len)
{
    const int n = ::send(sockOf(s), data, static_cast<int>(len), 0);
    if (n >= 0)
        return IoResult{IoResult::Done, std::size_t(n), 0};
    return failure(::WSAGetLastError());
}

void ShutdownSocket(SocketHandle s)
{
    ::shutdown(sockOf(s), SD_BOTH);
}

bool IsResourceShortage(int error)
{
    return error == WSAEMFILE || error == WSAENOBUFS;
}

std::string ErrorText(int error)
{
    char* text = nullptr;
    const DWORD n = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string out =
        n && text ? std::string(text, n) : std::string("error ") + std::to_string(error);
    if (text)
        ::LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

int Poll(std::vector<PollItem>& items, int timeoutMs, int* error)
{
    std::vector<WSAPOLLFD> fds(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        const PollItem& it = items[i];
        // WSAPoll skips negative entries like poll does.
        fds[i].fd = it.socket == kNoSocket ? INVALID_SOCKET : sockOf(it.socket);
        fds[i].events = short((it.wantRead ? POLLRDNORM : 0) | (it.wantWrite ? POLLWRNORM : 0));
        fds[i].revents = 0;
    }
    const int n = ::WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeoutMs);
    if (n == SOCKET_ERROR) {
        *error = ::WSAGetLastError();
        return -1;
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        const short re = fds[i].revents;
        items[i].readable = re & POLLRDNORM;
        items[i].writable = re & POLLWRNORM;
        items[i].broken = re & (POLLERR | POLLHUP | POLLNVAL);
    }
    return n;
}

// A UDP socket connected to itself: a datagram to it makes it readable, which
// WSAPoll sees like any other socket (Windows has no pipe that it can poll).
Waker::Waker()
{
    ensureWinsock();
    SOCKET s =
        ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET)
        return;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof addr;
    if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
        ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::closesocket(s);
        return;
    }
    setNonBlocking(s);
    read_ = write_ = handleOf(s);
}

Waker::~Waker()
{
    if (read_ != kNoSocket)
        ::closesocket(sockOf(read_));
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
    ::send(sockOf(write_), &b, 1, 0);
}

void Waker::drain()
{
    char buf[64];
    while (::recv(sockOf(read_), buf, sizeof buf, 0) > 0) {
    }
}

} // namespace host
