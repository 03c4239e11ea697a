// The browser remote as a phone uses it: a headless Chromium opens the address of
// the main window's QR code and drives the page against the real program on the
// X server. What the page does is checked where it lands: the screen's pixels,
// the system pointer, the whiteboard, and the video reports the page shows.

#include "browserdriver.h"
#include "e2eutil.h"
#include "flatpng.h"
#include "httpserver.h"
#include "jwinstance.h"
#include "x11probe.h"

#include <QPointer>
#include <QTcpServer>
#include <QtTest>
#include <sys/socket.h>

namespace
{
const QRgb kByAddress = qRgb(30, 160, 60), kUploaded = qRgb(200, 40, 160);
const QRgb kAfterCut = qRgb(250, 120, 10), kBlue = qRgb(0, 0, 255);
bool near(QRgb a, QRgb b)
{
    return qAbs(qRed(a) - qRed(b)) <= 3 && qAbs(qGreen(a) - qGreen(b)) <= 3 &&
           qAbs(qBlue(a) - qBlue(b)) <= 3;
}
// A point of a pad's inner box at fractions of it, and in thousandths of it (as
// the page computes them).
QPoint at(const QRectF& box, double fx, double fy)
{
    return QPointF(box.x() + box.width() * fx, box.y() + box.height() * fy).toPoint();
}
QPoint thousandths(const QRectF& box, QPoint p)
{
    return QPoint(qRound((p.x() - box.x()) / box.width() * 1000),
                  qRound((p.y() - box.y()) / box.height() * 1000));
}

// A TCP relay in front of a port that fails the way a phone's network does: every
// relayed connection reset at once, new ones refused until it comes back. It runs
// on the test's thread, which serves it whenever the test waits or asks the browser.
struct Relay {
    QTcpServer server;
    QObject pipes; // owns the relayed sockets
    quint16 target = 0, port = 0;
    int accepted = 0;

    ~Relay()
    {
        // A socket destroyed while connected says it disconnected: its peer may be
        // half destroyed by then, so nobody listens any more.
        for (QTcpSocket* s : pipes.findChildren<QTcpSocket*>())
            QObject::disconnect(s, nullptr, nullptr, nullptr);
    }

    bool start(quint16 to)
    {
        target = to;
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* in = server.nextPendingConnection()) {
                ++accepted;
                in->setParent(&pipes);
                auto* out = new QTcpSocket(&pipes);
                pipe(in, out), pipe(out, in);
                out->connectToHost(QHostAddress::LocalHost, target); // meanwhile it buffers
            }
        });
        return server.listen(QHostAddress::LocalHost, jwtest::freePort()) &&
               (port = server.serverPort());
    }
    static void pipe(QTcpSocket* from, QTcpSocket* to)
    {
        const QPointer<QTcpSocket> peer(to);
        QObject::connect(from, &QTcpSocket::readyRead, [from, peer] {
            const QByteArray bytes = from->readAll();
            if (peer)
                peer->write(bytes);
        });
        auto close = [from, peer] {
            if (peer)
                peer->disconnectFromHost();
            from->deleteLater();
        };
        QObject::connect(from, &QTcpSocket::disconnected, close);
        QObject::connect(from, &QTcpSocket::errorOccurred, close);
    }
    void cut()
    {
        server.close();
        for (QTcpSocket* s : pipes.findChildren<QTcpSocket*>()) {
            const linger hard{1, 0}; // no lingering: the peer gets a reset
            ::setsockopt(int(s->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            s->abort();
            s->deleteLater();
        }
    }
    bool resume() { return server.listen(QHostAddress::LocalHost, port); }
};
} // namespace

class TestWebBrowser : public QObject
{
    Q_OBJECT
    X11Probe probe;
    TestHttpServer http;
    QTemporaryDir files;
    std::unique_ptr<jwtest::JwInstance> program;
    BrowserDriver browser;
    quint16 webPort = 0;
    QString code;

    QString qrUrl(quint16 port) const
    {
        return QStringLiteral("http://127.0.0.1:%1/#%2").arg(port).arg(code);
    }
    QString state() { return browser.attribute("#status", "data-state"); }
    bool tab(const char* name) { return browser.click(QStringLiteral("#tab-button-") + name); }
    bool logIn(const QString& name)
    {
        return browser.type("#name-input", name) && browser.click("#login-button");
    }
    // A point in thousandths of the shown picture: every picture here is 800 x 600,
    // never enlarged, so shown as is, centred in the full-screen show window.
    QPoint onScreen(QPoint p) const
    {
        const QRect screen = probe.geometry(probe.findWindow("Tovanel-演示模式"));
        return screen.center() - QPoint(400, 300) + QPoint(p.x() * 800 / 1000, p.y() * 600 / 1000);
    }
    bool showing(QRgb colour, const QList<QPoint>& points = {{500, 500}, {100, 100}, {900, 900}})
    {
        for (const QPoint p : points)
            if (!near(probe.pixel(onScreen(p).x(), onScreen(p).y()), colour))
                return false;
        return true;
    }
    bool showPictureAt(const QString& url)
    {
        return tab("screen") && browser.type("#image-url", url) && browser.click("#image-show");
    }

private slots:
    void initTestCase()
    {
        if (!BrowserDriver::available())
            QSKIP("needs chromium and chromedriver (/usr/bin)");
        if (!probe.isOpen())
            QSKIP("needs an X display");
        QFile video(JW_SOURCE_DIR "/tests/data/solid12s.mp4");
        QVERIFY(video.open(QIODevice::ReadOnly) && http.start());
        http.serve("/v.mp4", video.readAll(), "video/mp4");
        http.serve("/p.png", flatPng(kByAddress, 800, 600), "image/png");
        http.serve("/q.png", flatPng(kAfterCut, 800, 600), "image/png");
        jwtest::JwInstanceOptions o = jwtest::presentingOptions();
        o.env.insert("JWSHOW_VLC_ARGS", "--aout=adummy");
        o.port = jwtest::freePortWith({1, 2});
        program = std::make_unique<jwtest::JwInstance>(o);
        QVERIFY2(program->start(), qPrintable(program->errorString()));
        webPort = program->port() + 2;
        QTRY_VERIFY_WITH_TIMEOUT(jwtest::isListening(webPort), 10000);
        // The code of the QR, as a phone app learns it from its login reply.
        jwtest::Controller app(program->port());
        QVERIFY(app.connectToHost());
        code = QString::fromLatin1(e2e::tokenOf(app.login("app")));
        QCOMPARE(code.size(), 6);
        QVERIFY2(browser.start(412, 915), qPrintable(browser.lastError()));
    }
    void cleanupTestCase()
    {
        browser.quit();
        if (program)
            QCOMPARE(program->stop(), 0);
    }

    // The name is asked once; the code comes with the address; a reload logs in
    // again by itself with the same identity.
    void openQrUrlAndLogIn()
    {
        QVERIFY2(browser.navigate(qrUrl(webPort)), qPrintable(browser.lastError()));
        QTRY_VERIFY(browser.visible("#name-input"));
        QVERIFY(!browser.visible("#code-row") && !browser.visible("#main"));
        QVERIFY(logIn("Browser"));
        QTRY_COMPARE_WITH_TIMEOUT(state(), QLatin1String("connected"), 10000);
        QVERIFY(browser.visible("#main") && !browser.visible("#login"));
        const QString id = browser.script("return localStorage.getItem('jw.id');").toString();
        QVERIFY(id.startsWith("web-"));
        QVERIFY(browser.navigate("about:blank") && browser.navigate(qrUrl(webPort)));
        QTRY_COMPARE_WITH_TIMEOUT(state(), QLatin1String("connected"), 10000);
        QCOMPARE(browser.script("return localStorage.getItem('jw.id');").toString(), id);
        QVERIFY(browser.text("#user-name").contains("Browser"));
    }

    // A picture by its address; then a photo from the phone goes up to the program
    // and is shown, and a file that is no picture is refused and the page says why.
    void pictures()
    {
        QVERIFY(showPictureAt(http.url("/p.png")));
        QTRY_VERIFY_WITH_TIMEOUT(showing(kByAddress), 10000);
        QTRY_COMPARE(browser.attribute("#image-status", "data-state"), QLatin1String("ok"));
        const QString photo = files.filePath("photo.png"), note = files.filePath("note.txt");
        QFile f(photo), g(note);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(flatPng(kUploaded, 800, 600)) > 0);
        QVERIFY(g.open(QIODevice::WriteOnly) && g.write("not a picture\n") > 0);
        f.close(), g.close();
        QVERIFY2(browser.setFile("#upload", note), qPrintable(browser.lastError()));
        QTRY_COMPARE(browser.attribute("#upload-status", "data-state"), QLatin1String("error"));
        QVERIFY(browser.text("#upload-status").contains("not a picture"));
        QVERIFY(showing(kByAddress));
        QVERIFY(browser.setFile("#upload", photo));
        QTRY_VERIFY_WITH_TIMEOUT(showing(kUploaded), 10000);
        QTRY_COMPARE(browser.attribute("#upload-status", "data-state"), QLatin1String("ok"));
    }

    // A finger slides across the pad; the system pointer ends on the same point of
    // the shown picture.
    void pointerPad()
    {
        QVERIFY(tab("pointer"));
        const QRectF pad = browser.innerBox("#pad");
        QVERIFY(!pad.isEmpty());
        const QPoint to = at(pad, 0.8, 0.2), want = onScreen(thousandths(pad, to));
        QVERIFY(probe.pointer() != want);
        QVERIFY2(browser.swipe({at(pad, 0.25, 0.75), at(pad, 0.5, 0.5), to}),
                 qPrintable(browser.lastError()));
        QTRY_VERIFY2((probe.pointer() - want).manhattanLength() <= 3,
                     qPrintable(QStringLiteral("pointer at %1,%2, expected %3,%4")
                                    .arg(probe.pointer().x())
                                    .arg(probe.pointer().y())
                                    .arg(want.x())
                                    .arg(want.y())));
    }

    // A blue stroke across the drawing pad lands across the shown picture; undo
    // takes it away; closing the board closes it on the PC.
    void drawingPad()
    {
        QVERIFY(tab("board") && browser.click("#board-open"));
        QTRY_VERIFY_WITH_TIMEOUT(probe.isViewable(probe.findWindow("Sketchpad")), 5000);
        QVERIFY(browser.click("#color-blue") && browser.click("#width-16"));
        const QRectF pad = browser.innerBox("#board");
        QVERIFY(!pad.isEmpty());
        QVERIFY(browser.swipe(
            {at(pad, 0.1, 0.5), at(pad, 0.4, 0.5), at(pad, 0.6, 0.5), at(pad, 0.9, 0.5)}));
        const int y = thousandths(pad, at(pad, 0.1, 0.5)).y();
        const QList<QPoint> line{{200, y}, {350, y}, {500, y}, {650, y}, {800, y}};
        QTRY_VERIFY_WITH_TIMEOUT(showing(kBlue, line), 5000);
        QVERIFY(showing(kUploaded, {{500, 200}}));
        QVERIFY(browser.click("#board-undo"));
        QTRY_VERIFY_WITH_TIMEOUT(showing(kUploaded, line), 5000);
        QVERIFY(browser.click("#board-close"));
        QTRY_VERIFY_WITH_TIMEOUT(!probe.isViewable(probe.findWindow("Sketchpad")), 5000);
    }

    // The page shows what the program reports about the video it plays: the
    // state, the duration (12 s) as the seek bar's end and the position moving it.
    void videoPlayPause()
    {
        QVERIFY(tab("video"));
        QVERIFY(browser.type("#video-url", http.url("/v.mp4")) && browser.click("#video-show"));
        const QString status = "#video-status";
        QTRY_COMPARE_WITH_TIMEOUT(browser.attribute(status, "data-state"), QLatin1String("playing"),
                                  15000);
        QCOMPARE(browser.text(status), QLatin1String("playing"));
        QTRY_VERIFY(browser.attribute("#video-seek", "max").toInt() >= 11000);
        QTRY_VERIFY(browser.on("#video-seek", "+e.value").toInt() > 0);
        for (const auto& [button, shown] : {std::pair{"#video-pause", "paused"},
                                            {"#video-play", "playing"},
                                            {"#video-stop", "stopped"}}) {
            QVERIFY(browser.click(button));
            QTRY_COMPARE_WITH_TIMEOUT(browser.text(status), QLatin1String(shown), 5000);
        }
    }

    // A wrong code is refused once, with no retries that would count towards the
    // lock-out (the page would say it reconnects); the right code typed in then
    // gets in.
    void wrongCodeRefused()
    {
        const QString wrong =
            QStringLiteral("%1").arg((code.toInt() + 1) % 1000000, 6, 10, QLatin1Char('0'));
        QVERIFY(browser.navigate("about:blank"));
        QVERIFY(
            browser.navigate(QStringLiteral("http://127.0.0.1:%1/#%2").arg(webPort).arg(wrong)));
        QTRY_COMPARE_WITH_TIMEOUT(state(), QLatin1String("refused"), 10000);
        QVERIFY(browser.text("#banner").contains("Wrong code") && browser.visible("#code-row"));
        QVERIFY(browser.type("#code-input", code) && browser.click("#login-button"));
        QTRY_COMPARE_WITH_TIMEOUT(state(), QLatin1String("connected"), 10000);
    }

    // The network between phone and PC goes away (every connection reset, new ones
    // refused) and comes back: the page says it is reconnecting, then logs in
    // again by itself, and its commands work again.
    void reconnectsAfterNetworkCut()
    {
        Relay network;
        QVERIFY(network.start(webPort));
        QVERIFY(browser.navigate("about:blank") && browser.navigate(qrUrl(network.port)));
        // Another address is another site to the browser: the name is asked again.
        QTRY_VERIFY(browser.visible("#name-input"));
        QVERIFY(logIn("Browser"));
        QTRY_COMPARE_WITH_TIMEOUT(state(), QLatin1String("connected"), 10000);
        const int before = network.accepted;
        network.cut();
        QTRY_COMPARE_WITH_TIMEOUT(state(), QLatin1String("reconnecting"), 5000);
        QVERIFY(browser.visible("#banner") && browser.text("#banner").contains("reconnecting"));
        QVERIFY(browser.visible("#main")); // the controls stay where the thumb is
        QVERIFY(network.resume());
        QTRY_COMPARE_WITH_TIMEOUT(state(), QLatin1String("connected"), 10000);
        QVERIFY(network.accepted > before && !browser.visible("#banner"));
        QVERIFY(showPictureAt(http.url("/q.png")));
        QTRY_VERIFY_WITH_TIMEOUT(showing(kAfterCut), 10000);
    }
};

QTEST_GUILESS_MAIN(TestWebBrowser)
#include "tst_web_browser.moc"
