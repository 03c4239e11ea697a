// Request heads as the browser remote's connections read them: where the head ends
// in the bytes received so far, its parsing, and the header questions the routes
// ask. A head that parses must say to us what it would say to the log: no line
// breaks or control characters in what comes out, no header that counts twice,
// and a Host we serve is one we can write back into the page's policy. The same
// bytes as a page's frames: their heads are read alike however they are cut.

#include "web/framewatch.h"
#include "web/webhttp.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>

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
        for (const char* once : {"host", "origin", "content-length"}) {
            if (r.headerCount(once) > 1)
                abort();
        }
        const QByteArray host = r.header("host");
        if (web::IsOurHost(host, QStringLiteral("jw-pc"))) {
            for (char c : host) {
                if (!isalnum(uchar(c)) && (c == 0 || !strchr(".:[]-", c)))
                    abort();
            }
        }
        web::IsOwnOrigin(r.header("origin"), host);
        r.headerHas("upgrade", "websocket");
        r.keepAlive();
    }
    web::ContentTypeOf(received.right(16));

    web::FrameWatch whole, cut;
    const web::FrameWatch::Seen all = whole.feed(received.constData(), received.size());
    const int at = received.isEmpty() ? 0 : uchar(received[0]) % received.size();
    web::FrameWatch::Seen first = cut.feed(received.constData(), at);
    const web::FrameWatch::Seen rest = cut.feed(received.constData() + at, received.size() - at);
    if (first.controls + rest.controls != all.controls ||
        first.pongBytes + rest.pongBytes != all.pongBytes ||
        (first.unmasked || rest.unmasked) != all.unmasked)
        abort();
    return 0;
}
