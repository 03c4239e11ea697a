#pragma once
// A page's WebSocket spoken by hand: the upgrade request and client frames.

#include <QByteArray>

inline const QByteArray kWsUpgrade =
    "GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";

// A client frame: text unless told, masked as every client's must be unless told.
inline QByteArray frame(const QByteArray& payload, int opcode = 0x1, bool masked = true,
                        bool fin = true)
{
    QByteArray f(1, char((fin ? 0x80 : 0) | opcode));
    const char maskBit = masked ? char(0x80) : char(0);
    const qint64 n = payload.size();
    const int bytes = n < 126 ? 0 : n < 65536 ? 2 : 8;
    f += char(maskBit | (bytes == 0 ? n : bytes == 2 ? 126 : 127));
    for (int i = bytes - 1; i >= 0; --i)
        f += char(n >> (8 * i));
    // A zero key leaves the payload as it is; the unmasking itself is the library's.
    return f + (masked ? QByteArray(4, '\0') : QByteArray()) + payload;
}
