// The real program's browser remote as a page and a hostile client meet it: pairing
// and its lock, refusals of bad HTTP, frames and uploads, fair shares. Each case that
// guesses codes does so from an address of its own.

#include "e2eutil.h"
#include "flatpng.h"
#include "jwinstance.h"
#include "wsframe.h"

#include <QRegularExpression>
#include <QtTest>

using e2e::j;
using namespace jwtest;

namespace
{
const QRgb kUploaded = qRgb(200, 40, 120);

// One request on a fresh connection from `from`; the answer once its body is in.
struct Answer {
    int status = 0;
    QByteArray head, body;
};
Answer http(quint16 port, const QByteArray& request, const char* from = "127.0.0.1")
{
    RawSocket s(port, from);
    QByteArray all, more;
    int split = -1;
    const QRegularExpression length("\r\nContent-Length: (\\d+)");
    auto whole = [&] {
        split = all.indexOf("\r\n\r\n");
        const auto m = length.match(QString::fromLatin1(all.left(split)));
        return split >= 0 && m.hasMatch() && all.size() >= split + 4 + m.captured(1).toInt();
    };
    if (s.send(request))
        while (!whole() && !(more = s.read(1)).isEmpty())
            all += more;
    return {all.mid(9, 3).toInt(), all.left(split), split < 0 ? QByteArray() : all.mid(split + 4)};
}

QByteArray upload(const QByteArray& code, const QByteArray& type, const QByteArray& body)
{
    return "POST /upload HTTP/1.1\r\nHost: 127.0.0.1\r\nX-JW-Code: " + code +
           "\r\nContent-Type: " + type + "\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\n\r\n" + body;
}

// A page's WebSocket by hand, from any loopback address, its frames exactly as given.
struct Page {
    QTcpSocket s;
    QByteArray in;
    QByteArrayList texts;
    int pongs = 0, code = -1; // the code of the program's close frame

    bool open(quint16 port, const char* from = "127.0.0.1")
    {
        s.bind(QHostAddress(QString(from)));
        s.connectToHost(QStringLiteral("127.0.0.1"), port);
        s.write(kWsUpgrade);
        while (!in.contains("\r\n\r\n") && s.waitForReadyRead(5000))
            in += s.readAll();
        const bool upgraded = in.startsWith("HTTP/1.1 101");
        in.remove(0, in.indexOf("\r\n\r\n") + 4);
        return upgraded;
    }
    void send(const QByteArray& text) { s.write(frame(text)); }
    void parse() // the program's frames: never masked, a close answered as a browser does
    {
        for (int size; in.size() >= 2; in.remove(0, size)) {
            const int n = in[1] & 0x7f, extra = n == 126 ? 2 : 0, opcode = in[0] & 0x0f;
            size = 2 + extra + (extra ? uchar(in[2]) << 8 | uchar(in[3]) : n);
            if (in.size() < size)
                return;
            const QByteArray payload = in.mid(2 + extra, size - 2 - extra);
            if (opcode == 0x1)
                texts << payload;
            pongs += opcode == 0xA;
            if (opcode == 0x8) {
                code = payload.size() >= 2 ? uchar(payload[0]) << 8 | uchar(payload[1]) : 0;
                s.write(frame(payload, 0x8));
            }
        }
    }
    template <typename Done> void pump(int ms, Done done)
    {
        QDeadlineTimer deadline(ms);
        for (;; s.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())))) {
            in += s.readAll();
            parse();
            if (done() || s.state() != QAbstractSocket::ConnectedState || deadline.hasExpired())
                return;
        }
    }
    QByteArray next(int ms = 5000)
    {
        pump(ms, [this] { return !texts.isEmpty(); });
        return texts.isEmpty() ? QByteArray() : texts.takeFirst();
    }
    // The code it was closed with: -1 while it stays open, 0 closed without one.
    int closedWith(int ms = 5000)
    {
        pump(ms, [this] { return code >= 0; });
        return code >= 0 || s.state() == QAbstractSocket::ConnectedState ? code : 0;
    }
    QByteArray login(const QByteArray& from, const QByteArray& pwd)
    {
        send(j("{'type':'login','id':'1','from':'") + from + j("','name':'web','ip':'','pwd':'") +
             pwd + "\"}");
        return next();
    }
};
} // namespace

class TestWeb : public QObject
{
    Q_OBJECT
    std::unique_ptr<JwInstance> prog_;
    std::unique_ptr<Controller> tcp_;
    QByteArray code_;
    quint16 web_ = 0;

    // The TCP side never notices what the web side refuses.
    bool tcpAnswered()
    {
        return tcp_->request(
                   {{"type", "mode"}, {"id", "p"}, {"from", "tcp-1"}, {"value", "remote"}}) ==
               e2e::envelope("p", "tcp-1", "mode");
    }

private slots:
    void initTestCase()
    {
        JwInstanceOptions o;
        o.withoutCompanion = true;
        o.args = QStringList{"debug"}; // the log file is written: the code must stay out of it
        o.port = freePortWith({1, 2});
        o.env.insert("JWSHOW_WEB_LOCKOUT_MS", "1500"); // a minute in the program
        prog_ = std::make_unique<JwInstance>(o);
        QVERIFY2(prog_->start(), qPrintable(prog_->errorString()));
        web_ = prog_->port() + 2; // the default
        QTRY_VERIFY_WITH_TIMEOUT(isListening(web_), 10000);
        tcp_ = std::make_unique<Controller>(prog_->port());
        QVERIFY(tcp_->connectToHost());
        code_ = e2e::tokenOf(tcp_->login("tcp-1", "Tom"));
        QCOMPARE(code_.size(), 6);
    }
    void cleanupTestCase()
    {
        QFile log(prog_->logPath());
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray text = log.readAll();
        QCOMPARE(prog_->stop(), 0);
        QVERIFY(text.contains("login-from:tcp-1")); // the log was written...
        QVERIFY(!text.contains(code_));             // ...without the code
        QVERIFY(!prog_->stderrOutput().contains(code_));
    }

    // Wrong codes from many addresses pause pairing for everybody (even the right
    // code is refused); a paired page is answered. First, while no other wrong code counts.
    void wrongCodesFromManyHostsPausePairing()
    {
        Page paired, waiting;
        QVERIFY(paired.open(web_, "127.0.4.1") && waiting.open(web_, "127.0.4.2"));
        QVERIFY(paired.login("paired", code_).contains("\"ret\":\"0\""));
        // All at once, so that they fall within the short window of this run.
        std::vector<std::unique_ptr<RawSocket>> guessers;
        for (int i = 0; i < 21; ++i)
            guessers.push_back(std::make_unique<RawSocket>(
                web_, qPrintable(QStringLiteral("127.0.0.%1").arg(10 + i))));
        for (auto& g : guessers)
            QVERIFY(g->send(upload("000000", "image/png", flatPng(kUploaded))));
        for (auto& g : guessers)
            QVERIFY(g->read(12).startsWith("HTTP/1.1 403"));
        waiting.login("waiting", code_);
        QCOMPARE(waiting.closedWith(), 4003);
        Page late; // refused before it says anything
        QVERIFY(late.open(web_, "127.0.4.3"));
        QCOMPARE(late.closedWith(), 4003);
        paired.send(j("{'type':'mode','id':'2','from':'paired','value':'remote'}"));
        QCOMPARE(paired.next(), e2e::envelope("2", "paired", "mode"));
        const QByteArray png = upload(code_, "image/png", flatPng(kUploaded));
        QCOMPARE(http(web_, png, "127.0.0.40").status, 429);
        QTRY_COMPARE_WITH_TIMEOUT(http(web_, png).status, 200, 5000);
        paired.send(j("{'type':'logout','id':'3','from':'paired'}")); // as on TCP: the end
        QCOMPARE(paired.closedWith(), 1000);
    }

    // Pages refused for their first frames; a few pings answered, a flood refused.
    void refusedPages_data()
    {
        QTest::addColumn<QByteArray>("frames");
        QTest::addColumn<int>("code");  // -1: stays open
        QTest::addColumn<int>("pongs"); // -1: not counted
        const QByteArray login = j("{'type':'login','id':'1','from':'p','name':'n','pwd':'CODE'}")
                                     .replace("CODE", code_);
        auto row = [](const char* name, const QByteArray& frames, int code, int pongs = -1) {
            QTest::newRow(name) << frames << code << pongs;
        };
        row("no code", frame(QByteArray(login).replace(",\"pwd\":\"" + code_ + '"', "")), 4001);
        row("not a login first", frame(j("{'type':'mode','value':'show','pwd':'") + code_ + "\"}"),
            4001);
        row("not JSON", frame("hello"), 4001);
        row("binary", frame(login, 0x2), 1003);
        row("fragmented", frame(login.left(16), 0x1, true, false) + frame(login.mid(16), 0x0),
            1008);
        row("huge", frame(login + QByteArray(100 * 1024, ' ')), 1009);
        row("unmasked", frame(login, 0x1, false), 1002); // never read
        row("a few pings", frame("p", 0x9).repeated(5), -1, 5);
        row("ping flood", frame("p", 0x9).repeated(300), 1008);
        row("pong flood", frame("", 0xA).repeated(300), 1008);
    }
    void refusedPages()
    {
        QFETCH(QByteArray, frames);
        QFETCH(int, code);
        QFETCH(int, pongs);
        static int host = 0; // each row from its own address: no lock from the rows before
        Page page;
        QVERIFY(page.open(web_, qPrintable(QStringLiteral("127.0.2.%1").arg(++host))));
        page.s.write(frames);
        QCOMPARE(page.closedWith(code < 0 ? 500 : 5000), code);
        QVERIFY(page.texts.isEmpty());
        if (pongs >= 0)
            QCOMPARE(page.pongs, pongs);
        QVERIFY(tcpAnswered());
    }

    void httpRefusals_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        auto row = [](const char* name, const QByteArray& request, int status) {
            QTest::newRow(name) << request << status;
        };
        auto get = [](const QByteArray& target, const QByteArray& headers = "Host: 127.0.0.1\r\n") {
            return "GET " + target + " HTTP/1.1\r\n" + headers + "Connection: close\r\n\r\n";
        };
        row("page", get("/"), 200);
        row("page, HEAD", get("/").replace("GET", "HEAD"), 200);
        for (const char* path :
             {"/nothing.js", "/app.ini", "/../app.ini", "/%2e%2e/app.ini", "/..%2fapp.ini",
              "/uploads/../../app.ini", "/uploads/..%2f..%2fapp.ini",
              "/uploads/00000000000000000000000000000000.png", "/web/index.html", "/.hidden"})
            row(path, get(path), 404);
        row("absolute form", get("http://x/"), 400);
        for (const QByteArray& bad :
             {QByteArray("GARBAGE\r\n\r\n"), QByteArray("GET / HTTP/9.9\r\n\r\n"),
              QByteArray("GET / HTTP/1.1\r\nBroken\r\n\r\n"), get("/", "Host : 127.0.0.1\r\n"),
              QByteArray("GET / HTTP/1.1\r\nX: a\0b\r\n\r\n", 26),
              QByteArray("GET / HTTP/1.1\r\nX: a\nY: b\r\n\r\n")})
            row(bad.left(bad.indexOf("\r\n\r\n")).toPercentEncoding(" /:.").constData(), bad, 400);
        row("head too large", "GET / HTTP/1.1\r\nX: " + QByteArray(10000, 'a') + "\r\n\r\n", 431);
        row("method", get("/").replace("GET", "DELETE"), 405);
        row("post to page",
            get("/", "Host: 127.0.0.1\r\nContent-Length: 0\r\n").replace("GET", "POST"), 405);
        row("ws without upgrade", get("/ws"), 400);
        // Only this computer's names are served: another is a rebound site reaching in.
        row("localhost", get("/", "Host: LocalHost:80\r\n"), 200);
        row("no host, 1.1", get("/", ""), 400);
        row("foreign host", get("/", "Host: evil.example:5557\r\n"), 421);
        row("foreign host, address-like", get("/", "Host: 127.0.0.1.evil.example\r\n"), 421);
        row("two hosts", get("/", "Host: 127.0.0.1\r\nHost: evil.example\r\n"), 400);
        row("foreign host, upload",
            upload("CODE", "image/png", "x").replace("Host: 127.0.0.1", "Host: evil.example"), 421);
        // Another site's page opening a WebSocket, through the user's browser.
        const QByteArray ws = "Upgrade: websocket\r\nConnection: Upgrade\r\n";
        row("foreign origin",
            get("/ws", ws + "Host: 127.0.0.1:5557\r\nOrigin: http://evil.example\r\n"), 403);
        row("sandboxed page", get("/ws", ws + "Host: 127.0.0.1:5557\r\nOrigin: null\r\n"), 403);
        row("rebound name",
            get("/ws", ws + "Host: evil.example\r\nOrigin: http://evil.example\r\n"), 421);
        row("foreign origin, page", get("/", "Host: 127.0.0.1\r\nOrigin: http://evil.example\r\n"),
            403);
        // Two lengths: a reader taking the other one sees a request hidden in the body.
        row("two lengths, body first",
            get("/", "Host: 127.0.0.1\r\nContent-Length: 5\r\nContent-Length: 0\r\n"), 400);
        // Uploads: checked like fetched pictures, refused from the head where it can.
        const QByteArray png = flatPng(kUploaded);
        row("upload, wrong code", upload("111111", "image/png", png), 403);
        row("not an image", upload("CODE", "image/png", QByteArray(5000, 'x')), 415);
        row("svg", upload("CODE", "image/svg+xml", "<svg xmlns='http://www.w3.org/2000/svg'/>"),
            415);
        row("text type", upload("CODE", "text/plain", png), 415);
        row("truncated png", upload("CODE", "image/png", png.left(png.size() / 2)), 415);
        const QByteArray length = "Content-Length: " + QByteArray::number(png.size());
        row("no length", upload("CODE", "image/png", png).replace(length + "\r\n", ""), 411);
        row("bad length", upload("CODE", "image/png", png).replace(length, "Content-Length: -5"),
            400);
        row("too large", // the client never sends the 65 MiB
            upload("CODE", "image/png", "").replace("Length: 0", "Length: 68157440") + png, 413);
        row("two lengths",
            upload("CODE", "image/png", png)
                .replace("Content-Type", "Content-Length: 1\r\nContent-Type"),
            400);
        row("get upload", get("/upload"), 405);
    }
    void httpRefusals()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        const Answer a = http(web_, request.replace("X-JW-Code: CODE", "X-JW-Code: " + code_));
        QCOMPARE(a.status, status);
        if (status == 200) {
            QVERIFY(a.head.contains("Content-Type: text/html; charset=utf-8"));
            QVERIFY(a.head.contains("\r\nContent-Security-Policy: default-src 'self';"));
            QVERIFY(a.body.isEmpty() == request.startsWith("HEAD"));
        } else {
            QVERIFY(a.head.contains("\r\nConnection: close"));
            QVERIFY(a.body.startsWith("{\"error\":"));
            QVERIFY(!a.body.contains("[config]"));
        }
    }

    // An address holds a share of the upload room at most, a body never sent no longer
    // than its connection.
    void uploadRoomIsShared()
    {
        const QByteArray png = upload(code_, "image/png", flatPng(kUploaded));
        const QByteArray head = "POST /upload HTTP/1.1\r\nHost: 127.0.0.1\r\nX-JW-Code: " + code_ +
                                "\r\nContent-Type: image/png\r\nContent-Length: 67108864\r\n";
        RawSocket holder(web_, "127.0.0.2");
        QVERIFY(holder.send(head + "Expect: 100-continue\r\n\r\n"));
        QVERIFY(holder.read(12).startsWith("HTTP/1.1 100")); // its room is taken
        QCOMPARE(http(web_, head + "\r\n", "127.0.0.2").status, 503);
        QCOMPARE(http(web_, png, "127.0.0.3").status, 200);
        holder.reset(); // the body never comes: the connection just goes
        QTRY_COMPARE_WITH_TIMEOUT(http(web_, png, "127.0.0.2").status, 200, 5000);
    }

    // A page that writes without end and never reads is cut off; TCP is served meanwhile.
    void floodAndCrowd()
    {
        Page flood;
        QVERIFY(flood.open(web_));
        flood.send(j("{'type':'login','from':'flood','pwd':'") + code_ + "\"}");
        QVERIFY(flood.next().contains("\"ret\":\"0\""));
        flood.s.setReadBufferSize(1); // from now on the replies stay in the kernel
        const QByteArray burst =
            frame(j("{'type':'mode','id':'f','from':'flood','value':'remote'}")).repeated(500);
        QElapsedTimer run;
        run.start();
        while (flood.s.state() == QAbstractSocket::ConnectedState && run.elapsed() < 15000) {
            flood.s.write(burst);
            flood.s.flush(); // never waits: what the kernel does not take stays queued here
            QVERIFY(tcpAnswered());
            flood.s.waitForReadyRead(5); // notices the close (one byte at most is taken in)
        }
        QVERIFY2(flood.s.state() != QAbstractSocket::ConnectedState, "the flood was never cut off");

        // An address holding every page slot with pages that never log in gives up
        // its oldest; a page that logged in is never given up for a newcomer.
        std::vector<std::unique_ptr<Page>> crowd;
        for (int i = 0; i < 100; ++i) {
            crowd.push_back(std::make_unique<Page>());
            QVERIFY(crowd.back()->open(web_, "127.0.0.2"));
        }
        Page next;
        QVERIFY(next.open(web_));
        QVERIFY(next.login("after-crowd", code_).contains("\"ret\":\"0\""));
        QCOMPARE(crowd.front()->closedWith(), 1008);
        Page more;
        QVERIFY(more.open(web_, "127.0.0.2"));
        QCOMPARE(next.closedWith(300), -1);
        crowd.clear();
        // So does one holding every HTTP slot with heads it never finishes.
        std::vector<std::unique_ptr<RawSocket>> heads;
        for (int i = 0; i < 128; ++i) {
            heads.push_back(std::make_unique<RawSocket>(web_, "127.0.0.2"));
            QVERIFY(heads.back()->send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n"));
        }
        QCOMPARE(http(web_, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n").status, 200);
        QTRY_VERIFY_WITH_TIMEOUT(heads.front()->closedByPeer(), 3000);
        QVERIFY(!heads.back()->closedByPeer());
    }
};

QTEST_MAIN(TestWeb)
#include "tst_web.moc"
