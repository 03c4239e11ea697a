// Request heads as the browser remote's connections read them: where the head ends
// in the bytes received so far, its parsing, and the header questions the routes
// ask. A head that parses must say to us what it would say to the log: no line
// breaks or control characters in what comes out.

#include "web/webhttp.h"

#include <cstdint>
#include <cstdlib>

namespace
{
bool clean(const QByteArray& s)
{
    for (char c : s) {
        if ((uchar(c) < 0x20 && c != '\t') || c == 0x7f)
            return false;
    }
    return true;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray received = QByteArray::fromRawData(reinterpret_cast<const char*>(data),
                                                        int(qMin<size_t>(size, 64 * 1024)));
    // The end is looked for after every read: a shorter read finds the same end or
    // none yet.
    const int end = web::HeadEnd(received);
    const QByteArray half = received.left(received.size() / 2);
    const int halfEnd = web::HeadEnd(half);
    if (end > received.size() || (halfEnd >= 0 && halfEnd != end) ||
        (halfEnd < 0 && end >= 0 && end <= half.size()))
        abort();

    web::HttpRequest r;
    const QByteArray head = end > 0 ? received.left(end) : received;
    if (web::ParseHead(head, &r)) {
        if (!r.path.startsWith('/') || r.method.isEmpty() || !clean(r.method) || !clean(r.path) ||
            (r.version != "HTTP/1.1" && r.version != "HTTP/1.0"))
            abort();
        for (const auto& h : r.headers) {
            if (!clean(h.first) || !clean(h.second) || h.first != h.first.toLower())
                abort();
        }
        r.header("content-length");
        r.headerCount("host");
        r.headerHas("upgrade", "websocket");
        r.keepAlive();
    }
    web::ContentTypeOf(received.right(16));
    return 0;
}
