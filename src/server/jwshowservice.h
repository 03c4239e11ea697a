#pragma once
// The TCP front end: listening socket, accept, greeting, reads, writes and close
// detection, all on one thread (run). Other threads reach a connection only
// through its number: Send queues bytes on it, Shutdown ends it.
//
// Everything a connection brings travels one path, in order: its packets and, last,
// its close go through the dispatcher's queue. No thread ever waits on a peer: a
// reply the socket cannot take at once waits in the connection's own buffer and is
// written by this thread when the socket can take it.

#include "protocol/jwmess.h"
#include "server/packetsink.h"

#include <QThread>
#include <memory>
#include <vector>

// A connection that another front door carries (the browser remote's pages). The
// socket server gives it a number from the same series as its own connections and
// routes replies and shutdowns for that number to it. Every call comes from any
// thread, without the server's locks held, and must return at once: the carrier
// queues the bytes and writes them on its own thread.
class ExternalLink
{
public:
    virtual ~ExternalLink() = default;
    // One reply or report; false when the connection is gone or was cut off.
    virtual bool send(const QByteArray& bytes, bool flush) = 0;
    virtual void flush() = 0;
    // Ends the connection; the carrier detaches it when it has closed.
    virtual void shutdown() = 0;
    // Whether the connection asked for the reports to pages ("show.report").
    virtual bool takesReports() const { return false; }
};

class JWShowService : public QThread
{
    Q_OBJECT
public:
    // A connection whose unsent replies grow past this, or make no progress for
    // kStallMs, has stopped reading and is cut off.
    static constexpr qint64 kMaxUnsent = 1024 * 1024;
    static constexpr int kStallMs = 2000;
    // A connection is not read while its packets waiting for the dispatcher cost
    // more than this (bytes and bookkeeping): a controller that writes faster than
    // its packets are handled slows only itself.
    static constexpr qint64 kMaxQueuedInput = 128 * 1024;
    // Nor while more than this of its replies wait unsent: a controller that reads
    // slowly is slowed down instead of being cut off (what its queued requests
    // can still add stays well below kMaxUnsent).
    static constexpr qint64 kMaxUnsentWhileReading = 256 * 1024;
    // Replies held back to leave in one write (see Send) are written once they
    // pass this, whether or not more are coming.
    static constexpr qint64 kMaxHeldBytes = 64 * 1024;
    // Connections held at once, at most. Each may hold a packet's worth of
    // unfinished text (64 KiB), so without a bound the descriptor limit alone (tens
    // of thousands) would bound the memory anyone on the network can make the
    // program keep. At the bound a newcomer still gets in: the host holding the
    // most connections that have not logged in gives up its oldest one. Only when
    // every connection has logged in is the newcomer closed.
    static constexpr int kMaxConnections = 1024;
    // A connection that has sent no complete packet this long after it was
    // accepted is closed (phones log in at once; the companion sends its
    // keep-alive at once and every 5 s).
    static constexpr int kFirstPacketMs = 30000;

    // Reads into sink; greets each connection with the identity and hostName.
    JWShowService(PacketSink& sink, const QString& hostName);
    ~JWShowService() override; // stops the thread and closes every socket

    // Binds 0.0.0.0:port, listens and starts the server thread. False (and no new
    // thread) when the port cannot be bound or listened on. A second Init while
    // serving moves the listener; the connections stay.
    bool Init(int port);
    // Clears the serving flag; the loop ends at once.
    void Stop();
    // Stops the server thread and waits for it, closes the listening socket and
    // every connection (each close queued behind the connection's packets). Init
    // may be called again afterwards.
    void Terminate();

    // Queues bytes for the connection and writes what the socket takes at once.
    // Never waits. False when the connection is unknown, closed or cut off.
    // Callable from any thread.
    // With flush false the bytes only join the connection's buffer, and Flush
    // writes them later: a run of replies to one connection leaves in one write.
    bool Send(SOCKET sock, const QByteArray& bytes, bool flush = true);
    void Flush(SOCKET sock);
    // Ends the connection; its close reaches the dispatcher after its packets.
    // Callable from any thread; an unknown number does nothing.
    void Shutdown(SOCKET sock);
    // Numbers an external connection; until Detach, Send, Flush and Shutdown for
    // that number go to the link.
    SOCKET Attach(std::shared_ptr<ExternalLink> link);
    // Forgets the external connection and queues its close behind its packets.
    void Detach(SOCKET sock);
    // The external connections that take the reports to pages; whether one does.
    std::vector<SOCKET> ReportTakers() const;
    bool TakesReports(SOCKET sock) const;

    // Makes the server thread look at its connections again (the dispatcher calls
    // it when a paused connection may be read again).
    void WakeUp();
    // Whether a controller is logged in on the connection (the dispatcher says so
    // after each login and logout): such a connection is never closed to make room.
    void SetLoggedIn(SOCKET sock, bool loggedIn);
    // The address a TCP connection comes from ("127.0.0.2"); empty for an external
    // one or an unknown number.
    QString PeerHost(SOCKET sock) const;
    // Closes every connection (each close queued behind its packets); the listener
    // stays.
    void CloseAll();

    int ListenPort() const; // the port of the last successful Init, else 0
    int ConnectionCount() const;

protected:
    void run() override;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
