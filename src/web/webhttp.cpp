#include "web/webhttp.h"

#include <QHostAddress>
#include <QHttpEngine/QHttpParser>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace web
{

QByteArray HttpRequest::header(const char* name) const
{
    for (const auto& h : headers) {
        if (h.first == name)
            return h.second;
    }
    return QByteArray();
}

int HttpRequest::headerCount(const char* name) const
{
    int n = 0;
    for (const auto& h : headers)
        n += h.first == name;
    return n;
}

bool HttpRequest::headerHas(const char* name, const char* token) const
{
    for (const QByteArray& part : header(name).split(',')) {
        if (part.trimmed().toLower() == token)
            return true;
    }
    return false;
}

bool HttpRequest::keepAlive() const
{
    if (version == "HTTP/1.0")
        return headerHas("connection", "keep-alive");
    return !headerHas("connection", "close");
}

QByteArray HttpRequest::queryValue(const char* name) const
{
    const QByteArray prefix = QByteArray(name) + '=';
    for (const QByteArray& pair : query.split('&')) {
        if (pair.startsWith(prefix))
            return pair.mid(prefix.size());
    }
    return QByteArray();
}

int HeadEnd(const QByteArray& received)
{
    const int at = received.indexOf("\r\n\r\n");
    return at < 0 ? -1 : at + 4;
}

bool ParseHead(const QByteArray& head, HttpRequest* request)
{
    // Line breaks other than CRLF pairs, NUL and other control characters have
    // no place in a head; a parser that tolerated them would let a request say
    // one thing to us and another to whoever reads the log.
    const QByteArray lines = head.endsWith("\r\n\r\n") ? head.left(head.size() - 4) : head;
    for (int i = 0; i < lines.size(); ++i) {
        const uchar c = uchar(lines[i]);
        const bool pairedBreak = (c == '\r' && i + 1 < lines.size() && lines[i + 1] == '\n') ||
                                 (c == '\n' && i > 0 && lines[i - 1] == '\r');
        if ((c < 0x20 && c != '\t' && !pairedBreak) || c == 0x7f)
            return false;
    }
    QList<QByteArray> parts;
    QHttpHeaderMap map;
    if (!QHttpParser::parseHeaders(lines, parts, map) || parts.size() != 3)
        return false;
    request->method = parts[0];
    request->version = parts[2];
    if (request->method.isEmpty() ||
        (request->version != "HTTP/1.1" && request->version != "HTTP/1.0"))
        return false;
    const QByteArray& target = parts[1];
    if (!target.startsWith('/') || target.contains(' '))
        return false;
    const int query = target.indexOf('?');
    request->path = query < 0 ? target : target.left(query);
    request->query = query < 0 ? QByteArray() : target.mid(query + 1);
    // The parser's map keeps only the last of two same-named headers (and both
    // when their letter case differs), so the headers are taken from the lines:
    // a repeated one must be seen, whatever its case and place.
    request->headers.clear();
    const QList<QByteArray> headerLines = lines.split('\n').mid(1);
    for (const QByteArray& line : headerLines) {
        const int colon = line.indexOf(':');
        const QByteArray name = line.left(colon);
        // "Name :" is read as "Name" by some servers and as another header by
        // others; such a request means different things to different readers.
        if (colon <= 0 || name.contains(' ') || name.contains('\t'))
            return false;
        request->headers.append({name.toLower(), line.mid(colon + 1).trimmed()});
    }
    for (const char* once : {"host", "origin", "content-length"}) {
        if (request->headerCount(once) > 1)
            return false;
    }
    return true;
}

bool IsOurHost(const QByteArray& host, const QString& computerName)
{
    QByteArray name = host;
    const int colon = name.lastIndexOf(':');
    if (colon > name.lastIndexOf(']')) {
        static const QRegularExpression kPort(QStringLiteral("^[0-9]{1,5}$"));
        if (!kPort.match(QString::fromLatin1(name.mid(colon + 1))).hasMatch())
            return false;
        name.truncate(colon);
    }
    // No zone in an IPv6 literal: a browser never sends one, and what is ours may
    // be written back into a header.
    static const QRegularExpression kIPv6(QStringLiteral("^\\[[0-9a-fA-F:.]+\\]$"));
    if (name.startsWith('[')) {
        const QString text = QString::fromLatin1(name);
        return kIPv6.match(text).hasMatch() &&
               QHostAddress(text.mid(1, text.size() - 2)).protocol() ==
                   QAbstractSocket::IPv6Protocol;
    }
    // A name of digits and dots is an address to a browser, never a DNS name.
    static const QRegularExpression kIPv4(QStringLiteral("^[0-9]{1,3}(\\.[0-9]{1,3}){3}$"));
    const QString text = QString::fromLatin1(name);
    if (kIPv4.match(text).hasMatch())
        return QHostAddress(text).protocol() == QAbstractSocket::IPv4Protocol;
    const auto same = [&text](const QString& other) {
        return !other.isEmpty() && text.compare(other, Qt::CaseInsensitive) == 0;
    };
    return same(QStringLiteral("localhost")) || same(computerName) ||
           (!computerName.isEmpty() && same(computerName + QStringLiteral(".local")));
}

bool IsOwnOrigin(const QByteArray& origin, const QByteArray& host)
{
    return !host.isEmpty() &&
           QString::fromLatin1(origin).compare(
               QStringLiteral("http://") + QString::fromLatin1(host), Qt::CaseInsensitive) == 0;
}

QByteArray StatusText(int status)
{
    switch (status) {
    case 100:
        return "Continue";
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 411:
        return "Length Required";
    case 413:
        return "Payload Too Large";
    case 415:
        return "Unsupported Media Type";
    case 421:
        return "Misdirected Request";
    case 429:
        return "Too Many Requests";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

QByteArray ResponseHead(int status, const QByteArray& contentType, qint64 contentLength,
                        bool keepAlive, const QList<QByteArray>& extraHeaders)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' ' + StatusText(status) + "\r\n";
    if (!contentType.isEmpty())
        out += "Content-Type: " + contentType + "\r\n";
    out += "Content-Length: " + QByteArray::number(contentLength) + "\r\n";
    out += keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    out += "X-Content-Type-Options: nosniff\r\nReferrer-Policy: no-referrer\r\n";
    for (const QByteArray& h : extraHeaders)
        out += h + "\r\n";
    return out + "\r\n";
}

QByteArray ErrorBody(const char* what)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("error"), QLatin1String(what)}})
        .toJson(QJsonDocument::Compact);
}

QByteArray ContentTypeOf(const QByteArray& name)
{
    static const QList<QPair<QByteArray, QByteArray>> kTypes{
        {".html", "text/html; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".json", "application/json"},
        {".webmanifest", "application/manifest+json"},
        {".svg", "image/svg+xml"},
        {".png", "image/png"},
        {".ico", "image/x-icon"},
        {".txt", "text/plain; charset=utf-8"},
    };
    for (const auto& t : kTypes) {
        if (name.endsWith(t.first))
            return t.second;
    }
    return "application/octet-stream";
}

} // namespace web
