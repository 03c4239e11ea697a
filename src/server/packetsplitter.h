#pragma once
// Cuts the byte stream of one connection into JSON object texts.
//
// TCP gives no message boundaries: a controller's packet can arrive in two reads
// (a full socket buffer, a slow network) and two packets can arrive in one. The
// splitter keeps the unfinished rest of a connection between reads, so a packet
// is handled whole whatever the read boundaries were.
//
// Pieces are cut on the bytes (braces are ASCII, so a multi-byte UTF-8 character
// is never cut) and each piece is decoded on its own. A piece ends where a
// top-level object ends; anything before the object (white space, junk) is part
// of its piece, so the cuts never depend on the read boundaries (only a zero
// byte, which ends its read, and a rest dropped for its length do).

#include "protocol/jsonscanner.h"

#include <QByteArray>
#include <QStringList>

class PacketSplitter
{
public:
    // The most a connection may keep waiting for the end of an object. A peer
    // that opens a brace and never closes it must not make us grow without end.
    static constexpr int kMaxPending = 64 * 1024;

    // Feeds one read and returns the pieces it completed, in order. The read is
    // cut at its first zero byte.
    QStringList feed(const char* data, int len);
    QStringList feed(const QByteArray& bytes) { return feed(bytes.constData(), bytes.size()); }

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
