#pragma once
// The frame heads of what a page sends, read beside Qt's WebSocket: Qt answers
// pings by itself and takes frames a client left unmasked, so neither would be
// seen otherwise. It is fed every byte of the stream once, in order, in pieces of
// any size; the payloads are skipped, never kept.

#include <QtGlobal>

namespace web
{

class FrameWatch
{
public:
    struct Seen {
        int controls = 0;     // pings and pongs
        qint64 pongBytes = 0; // what the pings among them make Qt write back
        bool unmasked = false;
    };

    Seen feed(const char* data, qint64 size);

private:
    static constexpr int kMaxHead = 14; // 2 bytes, an 8-byte length, a 4-byte mask
    uchar head_[kMaxHead] = {};
    int have_ = 0;            // bytes of the current head read so far
    quint64 payloadLeft_ = 0; // of the current frame, still to come
};

} // namespace web
