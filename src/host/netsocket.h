#pragma once
// TCP sockets for the control server: a listener, accepted connections, reads and
// writes that never block, readiness polling and a way to wake the poller from
// another thread. Plain C++ so that the Windows source compiles without Qt.

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace host
{

// An int descriptor on POSIX, a SOCKET on Windows.
using SocketHandle = std::intptr_t;
constexpr SocketHandle kNoSocket = -1;

// Owns one socket and closes it when it goes.
class Socket
{
public:
    Socket() = default;
    explicit Socket(SocketHandle h) : h_(h) {}
    ~Socket() { reset(); }
    Socket(Socket&& o) noexcept : h_(std::exchange(o.h_, kNoSocket)) {}
    Socket& operator=(Socket&& o) noexcept
    {
        if (this != &o) {
            reset();
            h_ = std::exchange(o.h_, kNoSocket);
        }
        return *this;
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    SocketHandle get() const { return h_; }
    bool valid() const { return h_ != kNoSocket; }
    void reset();

private:
    SocketHandle h_ = kNoSocket;
};

// The outcome of a read or write: bytes moved, or why none were.
struct IoResult {
    enum Status { Done, WouldBlock, Closed, Failed };
    Status status = Failed;
    std::size_t bytes = 0;
    int error = 0; // the system's error number when Failed
};

// A non-blocking IPv4 listener on 0.0.0.0:port, not inherited by child processes.
// A port still holding connections in TIME_WAIT can be bound again; a port with a
// live listener cannot. On failure the socket is invalid, *error holds the system's
// error number and *stage names the call that failed ("bind" or "listen").
Socket ListenTcp4(std::uint16_t port, int backlog, int* error, const char** stage);

struct Accepted {
    Socket socket;    // invalid when nothing was accepted
    std::string peer; // dotted IPv4 address
    int peerPort = 0;
    int error = 0; // set when the accept failed for another reason than "none waiting"
};
// Takes one waiting connection: non-blocking, not inherited, TCP keep-alive on (a
// phone that vanished from the network is noticed in about 25 s) and no Nagle
// delay (every text leaves in one write; holding a small report back until the
// phone acknowledges the previous one would only add its ACK delay).
Accepted AcceptTcp(SocketHandle listener);

IoResult Receive(SocketHandle s, char* buf, std::size_t len);
// Never raises SIGPIPE; a full send buffer gives WouldBlock or a short Done.
IoResult SendSome(SocketHandle s, const char* data, std::size_t len);
// Ends both directions; the peer sees the close, our next read sees the end.
void ShutdownSocket(SocketHandle s);

// The accept failed for lack of descriptors or memory: the listener stays ready,
// so retrying at once would only spin.
bool IsResourceShortage(int error);
std::string ErrorText(int error);

struct PollItem {
    SocketHandle socket = kNoSocket; // kNoSocket: ignored
    bool wantRead = false;
    bool wantWrite = false;
    // Results
    bool readable = false; // data, the peer's end, or an error waits
    bool writable = false;
    bool broken = false; // error or hang-up: the connection is over
};
// Waits until an item is ready or timeoutMs passes (-1: no limit). Returns the
// number of ready items, 0 on timeout, -1 on an error (interruptions are retried).
int Poll(std::vector<PollItem>& items, int timeoutMs, int* error);

// Lets another thread end a Poll early: wake() makes handle() readable until
// drain() is called. Safe to call from any thread.
class Waker
{
public:
    Waker();
    ~Waker();
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;

    bool valid() const;
    SocketHandle handle() const;
    void wake();
    void drain();

private:
    SocketHandle read_ = kNoSocket;
    SocketHandle write_ = kNoSocket;
};

} // namespace host
