#include "server/packetsplitter.h"

#include "base/jwlog.h"

#include <QDebug>
#include <algorithm>
#include <cstring>

namespace
{
bool isBlank(const char* begin, const char* end)
{
    return std::all_of(begin, end,
                       [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
}
} // namespace

QByteArray PacketBatch::piece(int i) const
{
    const int start = i == 0 ? 0 : ends[size_t(i) - 1];
    return bytes.mid(start, ends[size_t(i)] - start);
}

QStringList PacketBatch::texts() const
{
    QStringList out;
    for (int i = 0; i < count(); ++i)
        out << QString::fromUtf8(piece(i));
    return out;
}

void PacketBatch::append(const char* data, int len)
{
    bytes.append(data, len);
    ends.push_back(bytes.size());
}

qint64 PacketBatch::cost() const
{
    // The record, the two blocks it owns and what the allocator adds to each.
    constexpr qint64 kBlockOverhead = 32;
    return qint64(sizeof(PacketBatch)) + 2 * kBlockOverhead + bytes.capacity() +
           qint64(ends.capacity() * sizeof(int));
}

void PacketSplitter::reset()
{
    buf.clear();
    scanPos = 0;
    scanner.reset();
}

PacketBatch PacketSplitter::feed(const char* data, int len)
{
    PacketBatch out;
    if (len <= 0)
        return out;
    buf.append(data, len);

    // Where the pieces lie, found first, so that the batch is made with one block
    // of each kind, exactly as large as it needs to be. The list is the thread's
    // own and keeps its room from read to read.
    thread_local std::vector<std::pair<int, int>> spans; // start, length
    spans.clear();
    int pieceStart = 0;
    for (int i = scanPos; i < buf.size(); ++i) {
        const char c = buf.at(i);
        if (c == '\0') {
            // A zero byte ends whatever came before it: a whole packet, or a broken
            // text that the dispatcher logs. What follows is read as usual.
            if (!isBlank(buf.constData() + pieceStart, buf.constData() + i))
                spans.emplace_back(pieceStart, i - pieceStart);
            pieceStart = i + 1;
            scanner.reset();
            continue;
        }
        switch (scanner.step(c)) {
        case JsonObjectScanner::StrayClose:
            // A closing brace with nothing open: what came before can never
            // become an object, so it goes together with the brace.
            pieceStart = i + 1;
            break;
        case JsonObjectScanner::ObjectEnd:
            spans.emplace_back(pieceStart, i + 1 - pieceStart);
            pieceStart = i + 1;
            break;
        case JsonObjectScanner::Other:
            break;
        }
    }
    int total = 0;
    for (const auto& span : spans)
        total += span.second;
    out.bytes.reserve(total);
    out.ends.reserve(spans.size());
    for (const auto& span : spans)
        out.append(buf.constData() + span.first, span.second);

    // Whatever follows the last cut waits for the next read, inside an object or
    // not: junk belongs to the object it precedes, so a stream is cut the same way
    // however TCP happened to deliver it.
    const int rest = buf.size() - pieceStart;
    if (rest > kMaxPending) {
        ++overflowCount;
        const QString msg = QStringLiteral("packet too long, dropped %1 bytes").arg(rest);
        JWLOG::warning(msg);
        qWarning().noquote() << msg;
        reset();
        return out;
    }
    buf.remove(0, pieceStart);
    if (buf.capacity() > 4 * qMax(buf.size(), 1024))
        buf.squeeze(); // a long packet's room goes back once it is handled
    scanPos = buf.size();
    return out;
}

HttpOpening HttpRequestOpening(const QByteArray& first)
{
    // The longest method word, and its space.
    constexpr int kLongest = 8;
    static const char* const kMethods[] = {"GET",    "POST",  "PUT",   "HEAD",   "OPTIONS",
                                           "DELETE", "PATCH", "TRACE", "CONNECT"};
    for (int i = 0; i < first.size() && i < kLongest; ++i) {
        const char c = first.at(i);
        if (c == ' ') {
            const QByteArray word = first.left(i);
            return std::any_of(std::begin(kMethods), std::end(kMethods),
                               [&word](const char* m) { return word == m; })
                       ? HttpOpening::Yes
                       : HttpOpening::No;
        }
        if (c < 'A' || c > 'Z')
            return HttpOpening::No;
    }
    return first.size() < kLongest ? HttpOpening::NeedMore : HttpOpening::No;
}
