#include "server/packetsplitter.h"

#include "base/jwlog.h"

#include <QDebug>
#include <cstring>

void PacketSplitter::reset()
{
    buf.clear();
    scanPos = 0;
    scanner.reset();
}

QStringList PacketSplitter::feed(const char* data, int len)
{
    QStringList pieces;
    if (len <= 0)
        return pieces;
    // A zero byte ends the text a read carries, as it always has for controllers
    // that send C strings with their terminator.
    if (const void* nul = std::memchr(data, 0, size_t(len)))
        len = int(static_cast<const char*>(nul) - data);
    buf.append(data, len);

    int pieceStart = 0;
    for (int i = scanPos; i < buf.size(); ++i) {
        switch (scanner.step(buf.at(i))) {
        case JsonObjectScanner::StrayClose:
            // A closing brace with nothing open: what came before can never
            // become an object, so it goes together with the brace.
            pieceStart = i + 1;
            break;
        case JsonObjectScanner::ObjectEnd:
            pieces << QString::fromUtf8(buf.constData() + pieceStart, i + 1 - pieceStart);
            pieceStart = i + 1;
            break;
        case JsonObjectScanner::Other:
            break;
        }
    }

    // Whatever follows the last cut waits for the next read, inside an object or
    // not: junk belongs to the object it precedes, so a stream is cut the same way
    // however TCP happened to deliver it.
    QByteArray rest = buf.mid(pieceStart);
    if (rest.size() > kMaxPending) {
        ++overflowCount;
        const QString msg = QStringLiteral("packet too long, dropped %1 bytes").arg(rest.size());
        JWLOG::warning(msg);
        qWarning().noquote() << msg;
        reset();
        return pieces;
    }
    buf = rest;
    scanPos = buf.size();
    return pieces;
}
