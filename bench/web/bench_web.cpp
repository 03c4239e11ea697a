// The browser remote of the running program, as a phone's browser meets it:
//  - request to usable page: the page and the files it names fetched over one
//    connection, the WebSocket opened and the login answered;
//  - the delay the WebSocket adds: the same "mode" packet's round trip over the
//    WebSocket and over the TCP port, interleaved in one run;
//  - an uploaded photo of about 5 MB: from the start of the upload until its
//    pixels are on the screen (the page's "show.image" with the returned address).
// Clients are plain blocking sockets on both sides, so that neither path pays for
// a client's event loop.
//   xvfb-run -a -s "-screen 0 1920x1080x24" build/bench/web/bench_web [--runs N]

#include "jwinstance.h"
#include "x11probe.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QThread>
#include <algorithm>
#include <cstdio>

using jwtest::Controller;
using jwtest::JwInstance;

namespace
{

double ms(const QElapsedTimer& t)
{
    return double(t.nsecsElapsed()) / 1e6;
}

double percentile(QVector<double> v, double p)
{
    if (v.isEmpty())
        return -1;
    std::sort(v.begin(), v.end());
    return v[qMin(v.size() - 1, int(v.size() * p))];
}

// One HTTP/1.1 exchange on a kept-alive connection; the body, or null.
QByteArray fetch(QTcpSocket& s, const QByteArray& request, int* status = nullptr)
{
    s.write(request);
    QByteArray in;
    int headEnd = -1;
    qint64 length = -1;
    while (true) {
        if (headEnd < 0 && (headEnd = in.indexOf("\r\n\r\n")) >= 0) {
            const auto m = QRegularExpression(QStringLiteral("Content-Length: (\\d+)"),
                                              QRegularExpression::CaseInsensitiveOption)
                               .match(QString::fromLatin1(in.left(headEnd)));
            length = m.hasMatch() ? m.captured(1).toLongLong() : 0;
            if (status)
                *status = in.mid(9, 3).toInt();
        }
        if (headEnd >= 0 && in.size() >= headEnd + 4 + length)
            return in.mid(headEnd + 4, int(length));
        if (!s.waitForReadyRead(10000))
            return QByteArray();
        in += s.readAll();
    }
}

// A page's WebSocket written by hand: masked text frames out, frames in.
class RawPage
{
public:
    bool open(quint16 port)
    {
        s.connectToHost(QStringLiteral("127.0.0.1"), port);
        if (!s.waitForConnected(3000))
            return false;
        s.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        s.write("GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                "Sec-WebSocket-Version: 13\r\n\r\n");
        while (!in.contains("\r\n\r\n")) {
            if (!s.waitForReadyRead(3000))
                return false;
            in += s.readAll();
        }
        const bool ok = in.startsWith("HTTP/1.1 101");
        in.remove(0, in.indexOf("\r\n\r\n") + 4);
        return ok;
    }
    void send(const QByteArray& text)
    {
        QByteArray f(1, char(0x81));
        if (text.size() < 126) {
            f += char(0x80 | text.size());
        } else {
            f += char(0x80 | 126);
            f += char(text.size() >> 8), f += char(text.size() & 0xff);
        }
        f += QByteArray(4, '\0'); // a zero mask: the payload goes as it is
        s.write(f + text);
        s.flush();
    }
    QByteArray next()
    {
        while (true) {
            if (in.size() >= 2) {
                int len = uchar(in[1]) & 0x7f, off = 2;
                if (len == 126 && in.size() >= 4)
                    len = (uchar(in[2]) << 8) | uchar(in[3]), off = 4;
                if (len < 126 || off == 4) {
                    if (in.size() >= off + len) {
                        const QByteArray out = in.mid(off, len);
                        in.remove(0, off + len);
                        return out;
                    }
                }
            }
            if (!s.waitForReadyRead(10000))
                return QByteArray();
            in += s.readAll();
        }
    }
    QTcpSocket s;
    QByteArray in;
};

QByteArray packet(const QJsonObject& o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

// Photo-like content with a flat block of `mark` in the middle, which the probe
// looks for.
QByteArray photo(int w, int h, QRgb mark, quint32 seed)
{
    QImage image(w, h, QImage::Format_RGB32);
    QRandomGenerator rng(seed);
    for (int y = 0; y < h; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const int grain = int(rng.bounded(40u));
            line[x] = qRgb((x * 255 / w + grain) & 0xff, (y * 255 / h + grain) & 0xff,
                           ((x + y) * 255 / (w + h) + int(seed)) & 0xff);
        }
    }
    QPainter(&image).fillRect(QRect(w / 2 - w / 8, h / 2 - h / 8, w / 4, h / 4), QColor(mark));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPG", 92);
    return bytes;
}

bool near(QRgb a, QRgb b)
{
    return qAbs(qRed(a) - qRed(b)) < 20 && qAbs(qGreen(a) - qGreen(b)) < 20 &&
           qAbs(qBlue(a) - qBlue(b)) < 20;
}

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    int runs = 10;
    if (argc == 3 && QByteArray(argv[1]) == "--runs")
        runs = qMax(1, atoi(argv[2]));
    X11Probe probe;
    if (!probe.isOpen()) {
        std::fprintf(stderr, "bench_web: needs an X server in $DISPLAY\n");
        return 2;
    }
    jwtest::JwInstanceOptions o = jwtest::presentingOptions();
    o.port = jwtest::freePortWith({1, 2});
    JwInstance program(o);
    if (!program.start()) {
        std::fprintf(stderr, "bench_web: %s\n", qPrintable(program.errorString()));
        return 1;
    }
    const quint16 web = program.port() + 2;
    QElapsedTimer wait;
    wait.start();
    while (!jwtest::isListening(web) && wait.elapsed() < 10000)
        QThread::msleep(20);
    Controller tcp(program.port());
    const QByteArray loginReply = tcp.connectToHost() ? tcp.login("bench-tcp") : QByteArray();
    const int at = loginReply.indexOf("\"token\":\"");
    const QByteArray code = loginReply.mid(at + 9, 6);
    if (at < 0) {
        std::fprintf(stderr, "bench_web: no login over TCP\n");
        return 1;
    }
    auto login = [&code](const char* from) {
        return packet({{"type", "login"},
                       {"id", "1"},
                       {"from", from},
                       {"name", "bench"},
                       {"pwd", QString(code)}});
    };

    std::printf("| measure | goal | measured |\n|---|---|---|\n");

    // 1. Request to usable page.
    QVector<double> loads;
    qint64 pageBytes = 0;
    for (int i = 0; i < 50; ++i) {
        QElapsedTimer t;
        t.start();
        QTcpSocket s;
        s.connectToHost(QStringLiteral("127.0.0.1"), web);
        if (!s.waitForConnected(3000))
            break;
        const QByteArray html = fetch(s, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        qint64 bytes = html.size();
        const QRegularExpression ref(QStringLiteral(
            "(?:src|href)=\"/?([a-z0-9._-]+\\.(?:js|css|svg|png|ico|json|webmanifest))\""));
        for (auto it = ref.globalMatch(QString::fromUtf8(html)); it.hasNext();)
            bytes += fetch(s, "GET /" + it.next().captured(1).toLatin1() +
                                  " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
                         .size();
        RawPage page;
        if (!page.open(web))
            break;
        page.send(login("bench-load"));
        if (!page.next().contains("\"ret\":\"0\""))
            break;
        loads << ms(t);
        pageBytes = bytes;
    }
    std::printf("| request to usable page (page, its files, WebSocket and login), median / max of "
                "%d | < 300 ms | %.1f / %.1f ms (%lld bytes) |\n",
                int(loads.size()), percentile(loads, 0.5), percentile(loads, 1.0),
                static_cast<long long>(pageBytes));

    // 2. The same round trip over both doors, interleaved.
    RawPage page;
    if (!page.open(web)) {
        std::fprintf(stderr, "bench_web: no WebSocket\n");
        return 1;
    }
    page.send(login("bench-ws"));
    page.next();
    const QJsonObject viaTcp{
        {"type", "mode"}, {"id", "r"}, {"from", "bench-tcp"}, {"value", "remote"}};
    const QByteArray viaWs =
        packet({{"type", "mode"}, {"id", "r"}, {"from", "bench-ws"}, {"value", "remote"}});
    QVector<double> tcpRtt, wsRtt;
    for (int i = 0; i < 5000; ++i) {
        QElapsedTimer t;
        t.start();
        tcp.request(viaTcp);
        tcpRtt << ms(t);
        t.restart();
        page.send(viaWs);
        page.next();
        wsRtt << ms(t);
    }
    std::printf(
        "| \"mode\" round trip over TCP, p50 / p99 (5,000, interleaved) | | %.3f / %.3f ms |\n",
        percentile(tcpRtt, 0.5), percentile(tcpRtt, 0.99));
    std::printf("| same over the WebSocket, p50 / p99 | | %.3f / %.3f ms |\n",
                percentile(wsRtt, 0.5), percentile(wsRtt, 0.99));
    std::printf("| WebSocket minus TCP, p50 | ≤ 2 ms | %.3f ms |\n",
                percentile(wsRtt, 0.5) - percentile(tcpRtt, 0.5));

    // 3. A photo uploaded and shown.
    page.send(packet({{"type", "mode"}, {"id", "s"}, {"from", "bench-ws"}, {"value", "show"}}));
    page.next();
    QThread::msleep(500);
    static const QRgb marks[] = {qRgb(230, 20, 20), qRgb(20, 20, 230), qRgb(20, 210, 20)};
    QVector<double> uploads, shown;
    qint64 photoBytes = 0;
    int missed = 0;
    for (int i = 0; i < runs; ++i) {
        const QRgb mark = marks[i % 3];
        const QByteArray body = photo(3600, 2700, mark, quint32(i));
        photoBytes = body.size();
        QElapsedTimer t;
        t.start();
        QTcpSocket s;
        s.connectToHost(QStringLiteral("127.0.0.1"), web);
        s.waitForConnected(3000);
        int status = 0;
        const QByteArray answer =
            fetch(s,
                  "POST /upload HTTP/1.1\r\nHost: 127.0.0.1\r\nX-JW-Code: " + code +
                      "\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                      QByteArray::number(body.size()) + "\r\n\r\n" + body,
                  &status);
        uploads << ms(t);
        const QString url = QJsonDocument::fromJson(answer).object().value("url").toString();
        page.send(
            packet({{"type", "show.image"}, {"id", "u"}, {"from", "bench-ws"}, {"url", url}}));
        bool seen = false;
        while (!seen && t.elapsed() < 20000) {
            seen = near(probe.pixel(960, 540), mark);
            if (!seen)
                QThread::usleep(500);
        }
        page.next();
        if (status != 200 || !seen)
            ++missed;
        else
            shown << ms(t);
    }
    std::printf("| photo upload (%.1f MB JPEG, 3600 x 2700) answered, median of %d | | %.1f ms |\n",
                photoBytes / 1e6, runs, percentile(uploads, 0.5));
    std::printf("| same, upload start to its pixels on the screen, median / max | < 500 ms | %.1f "
                "/ %.1f ms (%d missed) |\n",
                percentile(shown, 0.5), percentile(shown, 1.0), missed);
    program.stop();
    return 0;
}
