#pragma once
// Where the doors put what a connection brings: its packets, one read at a time, and
// at last its close. The dispatcher is the sink; the socket server and the browser
// remote's pages feed it without knowing it.

#include "protocol/jwmess.h"
#include "server/packetsplitter.h"

#include <QStringList>
#include <atomic>
#include <memory>

// What the packets of one connection that wait in the dispatcher's queue cost in
// memory (bytes, bookkeeping included); the socket server stops reading the
// connection while it is above a bound.
struct QueuedInput {
    std::atomic<qint64> cost{0};
};

class PacketSink
{
public:
    // What waiting packets may cost in all. The socket server shares it out among
    // the connections that have packets waiting (a connection at its share is not
    // read), so a connection with nothing waiting, a phone logging in, is always
    // read; pages hold their packets back while the total is above it.
    static constexpr qint64 kMaxQueuedCost = 16 * 1024 * 1024;

    virtual ~PacketSink() = default;
    // Packets of one connection in arrival order (any thread).
    virtual void AddPackets(SOCKET sock, PacketBatch&& batch,
                            const std::shared_ptr<QueuedInput>& input) = 0;
    void AddPackets(SOCKET sock, const QStringList& texts,
                    const std::shared_ptr<QueuedInput>& input);
    // The end of a connection, handled after every packet it sent.
    virtual void AddClose(SOCKET sock) = 0;
    virtual qint64 QueuedCost() const = 0;
    bool Backlogged() const { return QueuedCost() > kMaxQueuedCost; }
};
