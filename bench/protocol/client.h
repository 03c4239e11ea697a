#pragma once
// The phone side of every measurement: one blocking loopback connection that
// reads the greeting, logs in and cuts replies out of the stream with the same
// object rule as the program. The program and both floors are driven by this one
// client, so whatever it costs is paid equally on every side.

#include "protocol/jsonscanner.h"

#include <QByteArray>
#include <QtGlobal>

#include <vector>

namespace bench
{

constexpr int kReplyTimeoutMs = 10000; // a reply slower than this counts as lost

QByteArray loginRequest(const QByteArray& from);
QByteArray modeRequest(const QByteArray& from, const QByteArray& id = "1");
QByteArray fileListRequest(const QByteArray& from);
QByteArray expectedModeReply(const QByteArray& from, const QByteArray& id);

class Client
{
public:
    Client() = default;
    ~Client() { close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Connects to 127.0.0.1:port, checks the greeting and logs in as `from`.
    bool open(quint16 port, const QByteArray& from, int timeoutMs = kReplyTimeoutMs);
    bool connectOnly(quint16 port, int timeoutMs = kReplyTimeoutMs); // up to the greeting
    void close();
    int fd() const { return fd_; }

    bool send(const QByteArray& bytes); // blocking, whole
    // The bytes of the next reply; empty on timeout or close.
    QByteArray nextReply(int timeoutMs = kReplyTimeoutMs);
    // Waits for `count` more replies without keeping them. False when no reply
    // arrives for timeoutMs, or on close.
    bool skipReplies(qint64 count, int timeoutMs = kReplyTimeoutMs);
    // One request and its reply: the time it took in ns, or -1.
    qint64 roundTrip(const QByteArray& request, int timeoutMs = kReplyTimeoutMs);

private:
    bool fill(int timeoutMs); // appends whatever arrives within timeoutMs
    // Scans buffered bytes up to the end of the `want`-th next object: its end
    // offset + 1, or 0 when the buffer holds fewer (then `found` says how many).
    int scan(qint64 want, qint64& found);

    int fd_ = -1;
    JsonObjectScanner scanner_;
    QByteArray buffer_; // received, not handed out yet
    int scanned_ = 0;   // bytes of buffer_ the scanner has seen
};

// Latency figures of a set of samples in ns.
struct Latency {
    double p50Ms = 0, p99Ms = 0, maxMs = 0;
    int count = 0;
};
Latency latencyOf(std::vector<qint64> ns);

} // namespace bench
