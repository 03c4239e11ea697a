#pragma once
// Cuts the byte stream of one connection into JSON object texts.
//
// TCP gives no message boundaries: a controller's packet can arrive in two reads
// (a full socket buffer, a slow network) and two packets can arrive in one. The
// splitter keeps the unfinished rest of a connection between reads, so a packet
// is handled whole whatever the read boundaries were.
//
// Pieces are cut on the bytes (braces are ASCII, so a multi-byte UTF-8 character
// is never cut). A piece ends where a top-level object ends; anything before the
// object (white space, junk) is part of its piece, so the cuts never depend on the
// read boundaries (only a rest dropped for its length does). A zero byte, which
// controllers that send C strings put after each packet, separates pieces.

#include "protocol/jsonscanner.h"

#include <QByteArray>
#include <QStringList>
#include <vector>

// The pieces one read completed, kept in one block rather than a string each: a
// flood of tiny packets ("{}{}{}...") must not cost a hundred bytes of bookkeeping
// per two bytes received while it waits for the dispatcher.
struct PacketBatch {
    QByteArray bytes;      // the pieces back to back
    std::vector<int> ends; // piece i is bytes [ends[i-1], ends[i])

    int count() const { return int(ends.size()); }
    bool isEmpty() const { return ends.empty(); }
    QByteArray piece(int i) const;
    QStringList texts() const; // every piece decoded, for tests and tools
    void append(const char* data, int len);
    // What the batch holds in memory, its own record included.
    qint64 cost() const;
};

class PacketSplitter
{
public:
    // The most a connection may keep waiting for the end of an object. A peer
    // that opens a brace and never closes it must not make us grow without end.
    static constexpr int kMaxPending = 64 * 1024;

    // Feeds one read and returns the pieces it completed, in order.
    PacketBatch feed(const char* data, int len);
    PacketBatch feed(const QByteArray& bytes) { return feed(bytes.constData(), bytes.size()); }

    // Bytes kept for the next read.
    int pending() const { return buf.size(); }
    // How often the kept rest was dropped for growing past kMaxPending.
    int overflows() const { return overflowCount; }
    void reset();

private:
    QByteArray buf;            // the unfinished rest, starting at the current piece
    int scanPos = 0;           // first byte of buf not yet scanned
    JsonObjectScanner scanner; // state at scanPos
    int overflowCount = 0;
};

// Whether a connection's first bytes are an HTTP request line ("GET ", "POST ",
// ...): a browser made to send to the control port by a web page, never a phone.
enum class HttpOpening { No, Yes, NeedMore };
HttpOpening HttpRequestOpening(const QByteArray& first);
