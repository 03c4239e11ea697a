#include "web/framewatch.h"

#include <QtEndian>

namespace web
{

namespace
{
constexpr int kOpPing = 0x9;
constexpr int kOpPong = 0xA;
constexpr quint64 kMaxControlPayload = 125;
} // namespace

FrameWatch::Seen FrameWatch::feed(const char* data, qint64 size)
{
    Seen seen;
    qint64 at = 0;
    while (at < size) {
        if (payloadLeft_ > 0) {
            const quint64 skip = qMin(payloadLeft_, quint64(size - at));
            payloadLeft_ -= skip;
            at += qint64(skip);
            continue;
        }
        head_[have_++] = uchar(data[at++]);
        if (have_ < 2)
            continue;
        const bool masked = head_[1] & 0x80;
        const int length7 = head_[1] & 0x7f;
        const int lengthBytes = length7 == 126 ? 2 : length7 == 127 ? 8 : 0;
        if (have_ < 2 + lengthBytes + (masked ? 4 : 0))
            continue;
        quint64 length = quint64(length7);
        if (lengthBytes == 2)
            length = qFromBigEndian<quint16>(head_ + 2);
        else if (lengthBytes == 8)
            length = qFromBigEndian<quint64>(head_ + 2);
        const int opcode = head_[0] & 0x0f;
        seen.unmasked |= !masked;
        if (opcode == kOpPing || opcode == kOpPong)
            ++seen.controls;
        // A longer ping is refused by Qt rather than answered.
        if (opcode == kOpPing)
            seen.pongBytes += 2 + qint64(qMin(length, kMaxControlPayload));
        payloadLeft_ = length;
        have_ = 0;
    }
    return seen;
}

} // namespace web
