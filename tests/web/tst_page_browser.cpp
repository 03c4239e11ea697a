// The page as phone users meet it, in a headless Chromium against the real program
// on the X server, checked where it lands: the screen's pixels, the system pointer,
// the whiteboard, the keys another program gets, and what the page says. Beside
// it, the reports as the program writes them to a page, and its help page.

#include "browserdriver.h"
#include "e2eutil.h"
#include "flatpng.h"
#include "httpserver.h"
#include "jwinstance.h"
#include "pagesocket.h"
#include "x11probe.h"

#include <QPointer>
#include <QSet>
#include <QTcpServer>
#include <QWidget>
#include <QtTest>

#include <sys/socket.h>

namespace
{
const QRgb kGrey = qRgb(128, 128, 128), kByAddress = qRgb(30, 160, 60),
           kUploaded = qRgb(200, 40, 160);
const QString kShow = QStringLiteral("Tovanel-演示模式");
// A report to a page as the program writes it (keys in ascending order).
QByteArray report(const QByteArray& act, const QByteArray& id, const QByteArray& to,
                  const QByteArray& value, const QByteArray& desc = "")
{
    return R"({"act":")" + act + R"(","desc":")" + desc + R"(","from":"jwshow","id":")" + id +
           R"(","ret":")" + (desc.isEmpty() ? "0" : "-1") + R"(","to":")" + to +
           R"(","type":"show.report","value":")" + value + R"("})";
}
QJsonObject packet(const char* type, const QString& id, const QString& from, const char* key,
                   const QString& value)
{
    return {{"type", type}, {"id", id}, {"from", from}, {key, value}};
}
// A TCP relay that fails the way a phone's network does: every relayed connection
// reset at once, new ones refused until it comes back. The test's thread serves it
// whenever the test waits or asks the browser.
struct Relay {
    QTcpServer server;
    QObject pipes; // owns the relayed sockets
    quint16 port = 0;
    int accepted = 0;

    ~Relay() { cut(); } // all closed first: none signals into a half-destroyed peer
    bool start(quint16 to)
    {
        QObject::connect(&server, &QTcpServer::newConnection, [this, to] {
            while (QTcpSocket* in = server.nextPendingConnection()) {
                ++accepted;
                in->setParent(&pipes);
                auto* out = new QTcpSocket(&pipes);
                pipe(in, out), pipe(out, in);
                out->connectToHost(QHostAddress::LocalHost, to); // meanwhile it buffers
            }
        });
        return server.listen(QHostAddress::LocalHost, jwtest::freePort()) &&
               (port = server.serverPort());
    }
    static void pipe(QTcpSocket* from, QTcpSocket* to)
    {
        const QPointer<QTcpSocket> peer(to);
        QObject::connect(from, &QTcpSocket::readyRead, [from, peer] {
            if (peer)
                peer->write(from->readAll());
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
// Another program's window, as a presentation's: the keys pressed on it.
struct KeyWindow : QWidget {
    QStringList keys;
    void keyPressEvent(QKeyEvent* e) override { keys << QKeySequence(e->key()).toString(); }
};
// What keeps a tab from fitting its screen (arguments[0]: held on its side).
const char kMisfits[] = R"(scrollTo(0, 0);
const out = [], floor = arguments[0] ? innerHeight
                                     : document.getElementById('tabs').getBoundingClientRect().top;
if (document.documentElement.scrollWidth !== innerWidth)
  out.push('scroll width ' + document.documentElement.scrollWidth);
for (const b of document.querySelectorAll('button, input, .button')) {
  if (!b.getClientRects().length || b.id === 'upload') continue;
  const r = b.getBoundingClientRect();
  if (r.width < 44 || r.height < 44) out.push(b.id + ' small');
  if (r.left < 0 || r.right > innerWidth) out.push(b.id + ' outside');
  if ((arguments[0] && b.closest('#tab-board') || b.closest('#tab-slides')) && r.bottom > floor)
    out.push(b.id + ' below');
}
const o = document.getElementById('board-open');
if (o.offsetParent && o.scrollWidth > o.clientWidth) out.push('open board');
return out.join(', ');)";
} // namespace

class TestPageBrowser : public QObject
{
    Q_OBJECT
    X11Probe probe;
    TestHttpServer http;
    QTemporaryDir files;
    std::unique_ptr<jwtest::JwInstance> program;
    BrowserDriver browser; // a phone held upright
    quint16 webPort = 0;
    QString code;
    std::unique_ptr<PageSocket> page;        // a page as the program's reports see it
    std::unique_ptr<jwtest::Controller> app; // an app beside it

    // The next two messages to the page other than hellos and copies of the shown
    // picture (those come whenever it changes), in either order: a request's reply
    // and its report race each other.
    QSet<QByteArray> nextTwo()
    {
        QSet<QByteArray> two;
        for (QByteArray m; two.size() < 2 && !(m = page->next(10000)).isEmpty();)
            if (!m.contains(R"("act":"picture")") && !m.contains(R"("act":"hello")"))
                two << m;
        return two;
    }

    QString address(const QString& hash, quint16 port = 0) const
    {
        return QStringLiteral("http://127.0.0.1:%1/#%2").arg(port ? port : webPort).arg(hash);
    }
    // The code comes with the address: only the name is asked.
    bool logIn(BrowserDriver& b, const QString& name, quint16 port = 0)
    {
        return b.navigate("about:blank") && b.navigate(address(code, port)) &&
               QTest::qWaitFor([&] { return b.visible("#name-input"); }) &&
               !b.visible("#code-row") && !b.visible("#main") && b.type("#name-input", name) &&
               b.click("#login-button") &&
               QTest::qWaitFor([&] { return b.state() == "connected"; }, 10000) &&
               b.visible("#main") && !b.visible("#login");
    }
    bool tab(const char* name) { return browser.click(QStringLiteral("#tab-button-") + name); }
    bool showPicture(const QString& url)
    {
        return tab("screen") && browser.type("#image-url", url) && browser.click("#image-show");
    }
    // Every text the element shows from now on, to catch one that passes unseen.
    void record(const char* css)
    {
        browser.on(css, "(e.seen = [], new MutationObserver(() => e.seen.push(e.textContent))"
                        ".observe(e, {childList: true}))");
    }
    QString recorded(const char* css) { return browser.on(css, "e.seen.join('|')").toString(); }
    bool viewable(const QString& title) const { return probe.isViewable(probe.findWindow(title)); }
    // A point in thousandths of an 800 x 600 picture, never enlarged, so shown as is,
    // centred in the full-screen show window.
    QPoint onScreen(QPoint p) const
    {
        const QRect screen = probe.geometry(probe.findWindow(kShow));
        return screen.center() - QPoint(400, 300) + QPoint(p.x() * 800 / 1000, p.y() * 600 / 1000);
    }
    bool showing(QRgb colour, const QList<QPoint>& points = {{500, 500}, {100, 100}, {900, 900}})
    {
        for (const QPoint p : points)
            if (!similar(probe.pixel(onScreen(p).x(), onScreen(p).y()), colour, 3))
                return false;
        return true;
    }
    // The blue on the screen, as a box.
    QRect blueOnScreen() const
    {
        const QImage screen = probe.grab(QRect(QPoint(0, 0), probe.screenSize()));
        QRect box;
        for (int y = 0; y < screen.height(); ++y) {
            const auto* line = reinterpret_cast<const QRgb*>(screen.constScanLine(y));
            for (int x = 0; x < screen.width(); ++x)
                if (qBlue(line[x]) > 200 && qRed(line[x]) < 60 && qGreen(line[x]) < 60)
                    box |= QRect(x, y, 1, 1);
        }
        return box;
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
        http.serve("/wide.png", flatPng(kGrey, 900, 600), "image/png");
        http.serve("/tall.png", flatPng(kGrey, 400, 600), "image/png");
        http.serve("/notes.txt", "not a picture at all", "text/plain");
        http.setRoute("/huge.png", {"", "image/png", 200, 0, false, 200LL << 20, 64 << 10});
        http.setRoute("/broken.png", {"", "text/plain", 500});

        jwtest::JwInstanceOptions o = jwtest::presentingOptions();
        o.env.insert("JWSHOW_VLC_ARGS", "--aout=adummy");
        o.port = jwtest::freePortWith({1, 2});
        program = std::make_unique<jwtest::JwInstance>(o);
        QVERIFY2(program->start(), qPrintable(program->errorString()));
        webPort = program->port() + 2;
        QTRY_VERIFY_WITH_TIMEOUT(jwtest::isListening(webPort), 10000);
        // The code, as an app learns it; the app leaves: the page is the only
        // controller, so that what it leaves behind shows.
        {
            jwtest::Controller app(program->port());
            QVERIFY(app.connectToHost());
            code = QString::fromLatin1(e2e::tokenOf(app.login("app")));
        }
        QVERIFY2(browser.start(412, 915), qPrintable(browser.lastError()));
        QVERIFY(logIn(browser, "Ann"));
    }
    void cleanupTestCase()
    {
        browser.quit();
        if (program)
            QCOMPARE(program->stop(), 0);
    }

    // A photo from the phone goes up to the program and is shown; a file that is no
    // picture is refused and the page says why.
    void uploads()
    {
        const QString photo = files.filePath("photo.png"), note = files.filePath("note.txt");
        QFile f(photo), g(note);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(flatPng(kUploaded, 800, 600)) > 0);
        QVERIFY(g.open(QIODevice::WriteOnly) && g.write("not a picture\n") > 0);
        f.close(), g.close();
        QVERIFY2(browser.setFile("#upload", note), qPrintable(browser.lastError()));
        QTRY_COMPARE(browser.state("#upload-status"), QLatin1String("error"));
        QVERIFY(browser.text("#upload-status").contains("not a picture"));
        QVERIFY(browser.setFile("#upload", photo));
        QTRY_VERIFY_WITH_TIMEOUT(showing(kUploaded), 10000);
        QTRY_COMPARE(browser.state("#upload-status"), QLatin1String("ok"));
    }

    // A finger slides across the pad; the system pointer ends on the same point of
    // the shown picture.
    void pointerPad()
    {
        QVERIFY(tab("pointer"));
        const QRectF pad = browser.innerBox("#pad");
        QVERIFY(!pad.isEmpty());
        const QPoint mid = pad.center().toPoint(),
                     to = mid + QPointF(pad.width() * .3, -pad.height() * .3).toPoint();
        // In thousandths of the pad, as the page sends it.
        const QPoint want = onScreen(QPoint(qRound((to.x() - pad.x()) * 1000 / pad.width()),
                                            qRound((to.y() - pad.y()) * 1000 / pad.height())));
        QVERIFY(probe.pointer() != want);
        QVERIFY2(browser.swipe({mid - (to - mid), mid, to}), qPrintable(browser.lastError()));
        QTRY_VERIFY_WITH_TIMEOUT((probe.pointer() - want).manhattanLength() <= 3, 5000);
    }

    void circleStaysRound_data()
    {
        QTest::addColumn<QString>("picture");
        QTest::addColumn<QSize>("size");
        QTest::newRow("3:2") << "/wide.png" << QSize(900, 600);
        QTest::newRow("portrait") << "/tall.png" << QSize(400, 600);
    }
    // A circle drawn on the pad is a circle on the shown picture, whatever its
    // proportions; the picture is behind the strokes on the pad too.
    void circleStaysRound()
    {
        QFETCH(QString, picture);
        QFETCH(QSize, size);
        QVERIFY(showPicture(http.url(picture)));
        QTRY_COMPARE_WITH_TIMEOUT(browser.state("#image-status"), QLatin1String("ok"), 10000);
        QVERIFY(tab("board"));
        const QString ratio = QString::number(double(size.width()) / size.height(), 'f', 4);
        QTRY_COMPARE(browser.attribute("#board", "data-ratio"), ratio);
        if (browser.attribute("#board", "data-open") != "true")
            QVERIFY(browser.click("#board-open"));
        QVERIFY(browser.click("#board-clear") && browser.click("#shape-ellipse") &&
                browser.click("#color-blue") && browser.click("#width-8"));
        QTRY_VERIFY_WITH_TIMEOUT(viewable("Sketchpad"), 5000);
        QTRY_VERIFY(blueOnScreen().isEmpty());

        const QRectF pad = browser.innerBox("#board");
        const double r = qMin(pad.width(), pad.height()) * 0.3;
        const QPointF c = pad.center();
        QList<QPoint> drag;
        for (double f = -1; f <= 1.001; f += 0.25)
            drag << (c + QPointF(f * r, f * r)).toPoint();
        QVERIFY2(browser.swipe(drag, 60), qPrintable(browser.lastError()));
        QRect circle;
        QTRY_VERIFY_WITH_TIMEOUT((circle = blueOnScreen()).width() > 100, 5000);
        // Round and around the shown picture's centre, which shows through the ring.
        const QPoint mid = probe.geometry(probe.findWindow(kShow)).center();
        QVERIFY2(qAbs(circle.width() - circle.height()) <= 6 &&
                     (circle.center() - mid).manhattanLength() <= 8 &&
                     similar(probe.pixel(mid.x(), mid.y()), kGrey, 3),
                 qPrintable(QStringLiteral("drawn %1 x %2 at %3,%4")
                                .arg(circle.width())
                                .arg(circle.height())
                                .arg(circle.center().x())
                                .arg(circle.center().y())));
        const QJsonArray behind =
            browser
                .script("const b = document.getElementById('board');"
                        "return Array.from(b.getContext('2d').getImageData("
                        "  Math.round(b.width * .05), Math.round(b.height * .05), 1, 1).data);")
                .toArray();
        QVERIFY2(qAbs(behind.at(0).toInt() - 128) < 16 && qAbs(behind.at(2).toInt() - 128) < 16,
                 qPrintable(QJsonDocument(behind).toJson(QJsonDocument::Compact)));
    }

    // A phone reloads the tab: the show window, the board and its ink stay, and
    // the page is back on the board, logged in by itself as the same controller;
    // its undo and close then still reach the board on the PC.
    void reloadKeepsShowAndBoard()
    {
        const QRect ink = blueOnScreen();
        QVERIFY(!ink.isEmpty() && viewable(kShow) && viewable("Sketchpad"));
        const QString id = browser.script("return localStorage.getItem('jw.id');").toString();
        QVERIFY(id.startsWith("web-"));
        browser.script("location.reload();");
        QTRY_COMPARE_WITH_TIMEOUT(browser.state(), QLatin1String("connected"), 10000);
        QVERIFY(viewable(kShow) && viewable("Sketchpad"));
        QCOMPARE(blueOnScreen(), ink);
        QVERIFY(browser.visible("#tab-board") && browser.text("#user-name").contains("Ann"));
        QCOMPARE(browser.attribute("#board", "data-open"), QLatin1String("true"));
        QCOMPARE(browser.script("return localStorage.getItem('jw.id');").toString(), id);
        QVERIFY(browser.click("#board-undo"));
        QTRY_VERIFY_WITH_TIMEOUT(blueOnScreen().isEmpty(), 5000);
        QVERIFY(browser.click("#board-close"));
        QTRY_VERIFY_WITH_TIMEOUT(!viewable("Sketchpad"), 5000);
    }

    // "Sent" until the PC says what came of it: a picture that is not there fails;
    // a video says it opens and plays, never that it stopped on the way, with its
    // 12 s as the seek bar's end and the position moving it, and follows the
    // buttons; one that cannot be opened says so.
    void failuresToldAsFailures()
    {
        QVERIFY(showPicture(http.url("/missing.png")));
        QTRY_COMPARE_WITH_TIMEOUT(browser.state("#image-status"), QLatin1String("error"), 10000);
        QVERIFY(browser.text("#image-status").contains("not found"));

        QVERIFY(tab("video"));
        record("#video-status");
        QVERIFY(browser.type("#video-url", http.url("/v.mp4")) && browser.click("#video-show"));
        QTRY_COMPARE_WITH_TIMEOUT(browser.state("#video-status"), QLatin1String("playing"), 15000);
        QVERIFY2(!recorded("#video-status").contains("stopped"),
                 qPrintable(recorded("#video-status")));
        QCOMPARE(browser.text("#video-status"), QLatin1String("playing"));
        QTRY_VERIFY(browser.attribute("#video-seek", "max").toInt() >= 11000);
        QTRY_VERIFY(browser.on("#video-seek", "+e.value").toInt() > 0);
        for (const auto& [button, shown] : {std::pair{"#video-pause", "paused"},
                                            {"#video-play", "playing"},
                                            {"#video-stop", "stopped"}}) {
            QVERIFY(browser.click(button));
            QTRY_COMPARE_WITH_TIMEOUT(browser.text("#video-status"), QLatin1String(shown), 5000);
        }
        const QString nowhere = QStringLiteral("http://127.0.0.1:%1/v.mp4").arg(jwtest::freePort());
        QVERIFY(browser.type("#video-url", nowhere) && browser.click("#video-show"));
        QTRY_COMPARE_WITH_TIMEOUT(browser.state("#video-status"), QLatin1String("failed"), 15000);
    }

    // The mute button says what it will do; logging out ends this phone's control
    // (the show it alone held closes) and brings the form back.
    void labelsAndLogOut()
    {
        QVERIFY(tab("video"));
        QCOMPARE(browser.text("#video-mute"), QLatin1String("Mute"));
        QVERIFY(browser.click("#video-mute"));
        QCOMPARE(browser.text("#video-mute"), QLatin1String("Unmute"));

        QVERIFY(viewable(kShow) && browser.click("#logout"));
        QTRY_COMPARE_WITH_TIMEOUT(browser.state(), QLatin1String("login"), 5000);
        QVERIFY(browser.visible("#login"));
        QTRY_VERIFY_WITH_TIMEOUT(!viewable(kShow), 5000);
    }

    // Without a code in the address the code is asked at once; a mistyped code and
    // a code the PC no longer has are told apart, each once, and refused with no
    // retries that would count towards the lock-out; the right one then gets in.
    void codes()
    {
        const auto once = [this](const QString& words) {
            return browser
                       .script("return document.body.innerText.split(arguments[0]).length - 1;",
                               {words})
                       .toInt() == 1;
        };
        QVERIFY(browser.navigate("about:blank") && browser.navigate(address("")));
        QTRY_VERIFY(browser.visible("#code-input"));
        const QString wrong =
            QStringLiteral("%1").arg((code.toInt() + 1) % 1000000, 6, 10, QLatin1Char('0'));
        QVERIFY(browser.type("#code-input", wrong) && browser.click("#login-button"));
        QTRY_COMPARE_WITH_TIMEOUT(browser.state(), QLatin1String("refused"), 10000);
        QVERIFY(once("Wrong code") && !browser.text("#banner").contains("new code"));

        // The code this phone got in with last: the PC has started anew since.
        browser.script("localStorage.setItem('jw.okCode', arguments[0]);", {wrong});
        QVERIFY(browser.navigate("about:blank") && browser.navigate(address(wrong)));
        QTRY_COMPARE_WITH_TIMEOUT(browser.state(), QLatin1String("refused"), 10000);
        QVERIFY(once("new code") && !browser.text("#banner").contains("Wrong code"));
        QVERIFY(browser.visible("#code-input"));
        QVERIFY(browser.type("#code-input", code) && browser.click("#login-button"));
        QTRY_COMPARE_WITH_TIMEOUT(browser.state(), QLatin1String("connected"), 10000);
    }

    // Next on the Slides tab reaches the program in front on the PC. A burst of
    // presses is cut to what the PC takes: none refused, none sent late. A sideways
    // swipe turns a slide, a slanting drag does not.
    void slideKeys()
    {
        KeyWindow presentation;
        presentation.show();
        QTRY_VERIFY(probe.focus(presentation.winId()));
        QVERIFY(tab("slides"));
        record("#slides-status");
        browser.script("for (let i = 0; i < 30; ++i) document.getElementById('key-next').click();");
        const QStringList burst = QVector<QString>(20, QStringLiteral("Right")).toList();
        QTRY_COMPARE_WITH_TIMEOUT(presentation.keys, burst, 5000);

        // Done again while the page holds it back for being too fast, until sent.
        const auto pressed = [this](const std::function<bool()>& act) {
            for (QDeadlineTimer deadline(5000); !deadline.hasExpired(); QTest::qWait(50)) {
                if (!act())
                    return false;
                if (browser.state("#slides-status") != "error")
                    return true;
            }
            return false;
        };
        QVERIFY(pressed([this] { return browser.click("#key-previous"); }));
        QTRY_COMPARE(browser.state("#slides-status"), QLatin1String("ok"));
        QCOMPARE(browser.text("#slides-status"), QLatin1String("Pressed on the PC: Previous"));

        const QRectF area = browser.innerBox("#slides");
        const QPoint mid = area.center().toPoint();
        const auto across = [&](int dx, int dy) {
            return [=] {
                return browser.swipe({mid, mid + QPoint(dx / 2, dy / 2), mid + QPoint(dx, dy)}, 60);
            };
        };
        QVERIFY(pressed(across(-150, 10)));
        QVERIFY(across(120, 70)());
        QVERIFY(pressed(across(150, -10)));
        const QStringList all = burst + QStringList{"Left", "Right", "Left"};
        QTRY_COMPARE(presentation.keys, all);
        QVERIFY2(!recorded("#slides-status").contains("Failed"),
                 qPrintable(recorded("#slides-status")));
    }

    // The network between phone and PC goes away (every connection reset, new ones
    // refused) and comes back: the page says it is reconnecting, then logs in
    // again by itself, and its commands work again.
    void reconnectsAfterNetworkCut()
    {
        Relay network;
        QVERIFY(network.start(webPort));
        // Another address is another site to the browser: the name is asked again.
        QVERIFY(logIn(browser, "Browser", network.port));
        const int before = network.accepted;
        network.cut();
        QTRY_COMPARE_WITH_TIMEOUT(browser.state(), QLatin1String("reconnecting"), 5000);
        QVERIFY(browser.visible("#banner") && browser.text("#banner").contains("reconnecting"));
        QVERIFY(browser.visible("#main")); // the controls stay where the thumb is
        QVERIFY(network.resume());
        QTRY_COMPARE_WITH_TIMEOUT(browser.state(), QLatin1String("connected"), 10000);
        QVERIFY(network.accepted > before && !browser.visible("#banner"));
        QVERIFY(showPicture(http.url("/p.png")));
        QTRY_VERIFY_WITH_TIMEOUT(showing(kByAddress), 10000);
    }

    void everyScreenFits_data()
    {
        QTest::addColumn<QSize>("viewport");
        QTest::newRow("320 upright") << QSize(320, 568);
        QTest::newRow("on its side") << QSize(844, 390);
        QTest::newRow("320 on its side") << QSize(568, 320);
    }
    // No sideways scrolling on any tab; thumb-sized targets; the board's tools
    // inside the screen (on its side, all of them at once), the slide keys above
    // the tab bar; "Open board" on one line.
    void everyScreenFits()
    {
        QFETCH(QSize, viewport);
        BrowserDriver phone;
        QVERIFY2(phone.start(viewport.width(), viewport.height()), qPrintable(phone.lastError()));
        QVERIFY(logIn(phone, "Alexandra Longname"));
        const bool side = viewport.width() > viewport.height();
        for (const char* name : {"screen", "video", "pointer", "board", "slides"}) {
            QVERIFY(phone.click(QStringLiteral("#tab-button-") + name));
            const QString misfits = phone.script(kMisfits, {side}).toString();
            QVERIFY2(misfits.isEmpty(), qPrintable(QString(name) + ": " + misfits));
        }
    }

    void reports_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QByteArray>("reason"); // none: shown
        QTest::newRow("shown") << http.url("/wide.png") << QByteArray();
        QTest::newRow("404") << http.url("/none.png") << QByteArray("not found");
        QTest::newRow("500") << http.url("/broken.png") << QByteArray("HTTP 500");
        QTest::newRow("text") << http.url("/notes.txt") << QByteArray("not a picture");
        QTest::newRow("200 MB") << http.url("/huge.png") << QByteArray("too large");
        QTest::newRow("nobody there")
            << QStringLiteral("http://127.0.0.1:%1/a.png").arg(jwtest::freePort())
            << QByteArray("cannot connect");
        QTest::newRow("a file") << "file:///etc/hostname" << QByteArray("not a web address");
    }
    // Byte for byte: a page that asked hears how the show came up and what came of
    // its picture; an app gets only the reply, as ever.
    void reports()
    {
        QFETCH(QString, url);
        QFETCH(QByteArray, reason);
        const QByteArray value = reason.isEmpty() ? "shown" : "failed";
        if (!page) {
            page = std::make_unique<PageSocket>();
            QVERIFY(page->open(webPort));
            QCOMPARE(page->login("web-r", code),
                     e2e::loginReply("1", "web-r", "web", program->port() + 1, code.toLatin1()));
            page->send(packet("mode", "m1", "web-r", "value", "show"));
            QCOMPARE(nextTwo(), QSet<QByteArray>({e2e::envelope("m1", "web-r", "mode"),
                                                  report("window", "000000", "", "full")}));
            app = std::make_unique<jwtest::Controller>(program->port());
            QVERIFY(app->connectToHost() && !app->login("tcp-1").isEmpty());
        }
        page->send(packet("show.image", "p1", "web-r", "url", url));
        QCOMPARE(nextTwo(), QSet<QByteArray>({e2e::envelope("p1", "web-r", "show.image"),
                                              report("image", "p1", "web-r", value, reason)}));
        QCOMPARE(app->request(packet("show.image", "t1", "tcp-1", "url", url)),
                 e2e::envelope("t1", "tcp-1", "show.image"));
        QVERIFY(app->expectNoReply(300));
    }

    // The help page: offline, under the page's own policy (its style applies), in
    // the language asked for, with the ports to allow and never the code.
    void helpPage()
    {
        const QString help = QStringLiteral("http://127.0.0.1:%1/help").arg(webPort);
        for (const auto& [query, lang] : {std::pair{"", "en"}, {"?lang=zh", "zh-CN"}}) {
            QVERIFY(browser.navigate(help + query)); // the browser speaks English
            QCOMPARE(browser.script("return document.documentElement.lang;").toString(),
                     QLatin1String(lang));
        }
        QCOMPARE(
            browser.script("return getComputedStyle(document.body).backgroundColor;").toString(),
            QLatin1String("rgb(13, 20, 27)"));
        const QString text = browser.text("body");
        for (const int port : {int(program->port()), program->port() + 1, program->port() + 2})
            QVERIFY(text.contains(QString::number(port)));
        QVERIFY(!text.contains(code) && !text.contains("{{"));
    }
};

QTEST_MAIN(TestPageBrowser)
#include "tst_page_browser.moc"
