#pragma once
// The HTTP side of the browser remote: one request head read from a connection,
// and the answers written back. Heads are parsed by QHttpEngine's parser; this
// file only bounds them and picks out what the routes need.

#include <QByteArray>
#include <QList>
#include <QPair>

namespace web
{

// The most a request head may take, request line and headers together.
constexpr int kMaxHeadBytes = 8 * 1024;

struct HttpRequest {
    QByteArray method;                            // as sent: "GET", "POST", ...
    QByteArray path;                              // the target without its query, e.g. "/app.js"
    QByteArray query;                             // what follows the '?', if anything
    QByteArray version;                           // "HTTP/1.0" or "HTTP/1.1"
    QList<QPair<QByteArray, QByteArray>> headers; // names in lower case, in order

    // The value of the header (name in lower case); empty when absent.
    QByteArray header(const char* name) const;
    int headerCount(const char* name) const;
    // Whether a comma-separated header holds the token, in any letter case.
    bool headerHas(const char* name, const char* token) const;
    bool keepAlive() const;
    // The value of a query parameter (name=value, as sent); empty when absent.
    QByteArray queryValue(const char* name) const;
};

// Where the head ends in the bytes received so far: the offset just past the
// blank line, or -1 while it has not arrived.
int HeadEnd(const QByteArray& received);
// Parses a complete head (the bytes up to HeadEnd). False when it is malformed:
// a request line that is not "METHOD /target HTTP/1.x", a header line without a
// colon or with space before it, control characters, a second Host, Origin or
// Content-Length.
bool ParseHead(const QByteArray& head, HttpRequest* request);

// Whether a Host header names this computer: an IPv4 literal, an IPv6 literal in
// brackets, localhost or the computer's name (also under .local), any letter
// case, with or without a port. Any other name is a site whose DNS answer points
// here, and its pages must not reach us as if they were ours.
bool IsOurHost(const QByteArray& host, const QString& computerName);
// Whether an Origin header names the page this host serves: http:// and the Host
// header's value, any letter case.
bool IsOwnOrigin(const QByteArray& origin, const QByteArray& host);

// A whole answer head; the body follows it unchanged.
QByteArray ResponseHead(int status, const QByteArray& contentType, qint64 contentLength,
                        bool keepAlive, const QList<QByteArray>& extraHeaders = {});
// A short refusal: {"error":"<what>"}.
QByteArray ErrorBody(const char* what);
QByteArray StatusText(int status);
// The type of a page file by the end of its name.
QByteArray ContentTypeOf(const QByteArray& name);

} // namespace web
