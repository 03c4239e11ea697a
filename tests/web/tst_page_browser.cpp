// The page as phone users meet it, in a headless Chromium against the real program
// on the X server: what is drawn lands undistorted on the shown picture, a reload
// keeps the show and the board, failures are told as failures, every screen from
// 320 px wide and on its side fits, and the code, the log-out and the labels say
// what they should once. Beside it, the reports as the program writes them to a
// page, and its help page.

#include "browserdriver.h"
#include "e2eutil.h"
#include "flatpng.h"
#include "httpserver.h"
#include "jwinstance.h"
#include "pagesocket.h"
#include "x11probe.h"

#include <QFile>
#include <QSet>
#include <QtTest>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace
{
const QRgb kGrey = qRgb(128, 128, 128);
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
// A window of another program, as a presentation's would be: it keeps the names
// of the keys pressed on it (Xlib: this test has no widgets).
struct KeyWindow {
    std::unique_ptr<Display, int (*)(Display*)> dpy{XOpenDisplay(nullptr), XCloseDisplay};
    Window window = 0;
    QStringList pressed;

    KeyWindow()
    {
        if (!dpy)
            return;
        const Window root = DefaultRootWindow(dpy.get());
        window = XCreateSimpleWindow(dpy.get(), root, 100, 100, 300, 200, 0, 0, 0);
        XSelectInput(dpy.get(), window, KeyPressMask);
        XStoreName(dpy.get(), window, "presentation");
        XMapWindow(dpy.get(), window);
        XSync(dpy.get(), False);
    }
    ~KeyWindow()
    {
        if (window)
            XDestroyWindow(dpy.get(), window);
    }
    const QStringList& keys()
    {
        while (dpy && XPending(dpy.get())) {
            XEvent e;
            XNextEvent(dpy.get(), &e);
            if (e.type == KeyPress)
                pressed << QString::fromLatin1(XKeysymToString(XLookupKeysym(&e.xkey, 0)));
        }
        return pressed;
    }
};
} // namespace

class TestPageBrowser : public QObject
{
    Q_OBJECT
    X11Probe probe;
    TestHttpServer http;
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
        for (QByteArray m; two.size() < 2 && !(m = page->next(10000)).isEmpty();) {
            if (!m.contains(R"("act":"picture")") && !m.contains(R"("act":"hello")"))
                two << m;
        }
        return two;
    }

    QString address(const QString& hash) const
    {
        return QStringLiteral("http://127.0.0.1:%1/#%2").arg(webPort).arg(hash);
    }
    QString state(BrowserDriver& b) { return b.attribute("#status", "data-state"); }
    bool logIn(BrowserDriver& b, const QString& name)
    {
        return b.navigate(address(code)) &&
               QTest::qWaitFor([&] { return b.visible("#name-input"); }) &&
               b.type("#name-input", name) && b.click("#login-button") &&
               QTest::qWaitFor([&] { return state(b) == "connected"; }, 10000);
    }
    bool tab(const char* name) { return browser.click(QStringLiteral("#tab-button-") + name); }
    bool viewable(const QString& title) const { return probe.isViewable(probe.findWindow(title)); }
    // The blue on the screen, as a box.
    QRect blueOnScreen() const
    {
        const QImage screen = probe.grab(QRect(QPoint(0, 0), probe.screenSize()));
        QRect box;
        for (int y = 0; y < screen.height(); ++y) {
            const auto* line = reinterpret_cast<const QRgb*>(screen.constScanLine(y));
            for (int x = 0; x < screen.width(); ++x) {
                if (qBlue(line[x]) > 200 && qRed(line[x]) < 60 && qGreen(line[x]) < 60)
                    box |= QRect(x, y, 1, 1);
            }
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
        QVERIFY(video.open(QIODevice::ReadOnly));
        QVERIFY(http.start());
        http.serve("/v.mp4", video.readAll(), "video/mp4");
        http.serve("/wide.png", flatPng(kGrey, 900, 600), "image/png");
        http.serve("/tall.png", flatPng(kGrey, 400, 600), "image/png");
        http.serve("/notes.txt", "not a picture at all", "text/plain");
        TestHttpServer::Route huge{"", "image/png"};
        huge.declaredLength = 200LL * 1024 * 1024;
        huge.chunkBytes = 64 * 1024;
        http.setRoute("/huge.png", huge);
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
        QVERIFY(tab("screen"));
        QVERIFY(browser.type("#image-url", http.url(picture)) && browser.click("#image-show"));
        QTRY_COMPARE_WITH_TIMEOUT(browser.attribute("#image-status", "data-state"),
                                  QLatin1String("ok"), 10000);
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
        QVERIFY2(
            qAbs(circle.width() - circle.height()) <= 6,
            qPrintable(QStringLiteral("drawn %1 x %2").arg(circle.width()).arg(circle.height())));
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
    // the page is back on the board.
    void reloadKeepsShowAndBoard()
    {
        const QRect ink = blueOnScreen();
        QVERIFY(!ink.isEmpty() && viewable(kShow) && viewable("Sketchpad"));
        browser.script("location.reload();");
        QTRY_COMPARE_WITH_TIMEOUT(state(browser), QLatin1String("connected"), 10000);
        QVERIFY(viewable(kShow) && viewable("Sketchpad"));
        QCOMPARE(blueOnScreen(), ink);
        QVERIFY(browser.visible("#tab-board"));
        QCOMPARE(browser.attribute("#board", "data-open"), QLatin1String("true"));
    }

    // "Sent" until the PC says what came of it: a picture that is not there fails;
    // a video says it opens, plays, and never that it stopped on the way; one that
    // cannot be opened says so.
    void failuresToldAsFailures()
    {
        QVERIFY(tab("screen"));
        QVERIFY(browser.type("#image-url", http.url("/missing.png")) &&
                browser.click("#image-show"));
        QTRY_COMPARE_WITH_TIMEOUT(browser.attribute("#image-status", "data-state"),
                                  QLatin1String("error"), 10000);
        QVERIFY(browser.text("#image-status").contains("not found"));

        QVERIFY(tab("video"));
        browser.script("window.seen = [];"
                       "new MutationObserver(() => seen.push("
                       "  document.getElementById('video-status').textContent))"
                       ".observe(document.getElementById('video-status'), {childList: true});");
        QVERIFY(browser.type("#video-url", http.url("/v.mp4")) && browser.click("#video-show"));
        QTRY_COMPARE_WITH_TIMEOUT(browser.attribute("#video-status", "data-state"),
                                  QLatin1String("playing"), 15000);
        const QString seen = browser.script("return seen.join('|');").toString();
        QVERIFY2(!seen.contains("stopped"), qPrintable(seen));
        const QString nowhere = QStringLiteral("http://127.0.0.1:%1/v.mp4").arg(jwtest::freePort());
        QVERIFY(browser.type("#video-url", nowhere) && browser.click("#video-show"));
        QTRY_COMPARE_WITH_TIMEOUT(browser.attribute("#video-status", "data-state"),
                                  QLatin1String("failed"), 15000);
    }

    // The mute button says what it will do; the name is the program's; logging out
    // ends this phone's control (the show it alone held closes) and brings the
    // form back.
    void labelsAndLogOut()
    {
        QVERIFY(tab("video"));
        QCOMPARE(browser.text("#video-mute"), QLatin1String("Mute"));
        QVERIFY(browser.click("#video-mute"));
        QCOMPARE(browser.text("#video-mute"), QLatin1String("Unmute"));
        const QString name = kShow.section('-', 0, 0);
        QCOMPARE(browser.text("#app-name"), name);
        QCOMPARE(browser.script("return document.title;").toString(), name);

        QVERIFY(viewable(kShow) && browser.click("#logout"));
        QTRY_COMPARE_WITH_TIMEOUT(state(browser), QLatin1String("login"), 5000);
        QVERIFY(browser.visible("#login"));
        QTRY_VERIFY_WITH_TIMEOUT(!viewable(kShow) && !viewable("Sketchpad"), 5000);
    }

    // Without a code in the address the code is asked at once; a mistyped code and
    // a code the PC no longer has are told apart, each once.
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
        QTRY_COMPARE_WITH_TIMEOUT(state(browser), QLatin1String("refused"), 10000);
        QVERIFY(once("Wrong code") && !browser.text("#banner").contains("new code"));

        // The code this phone got in with last: the PC has started anew since.
        browser.script("localStorage.setItem('jw.okCode', arguments[0]);", {wrong});
        QVERIFY(browser.navigate("about:blank") && browser.navigate(address(wrong)));
        QTRY_COMPARE_WITH_TIMEOUT(state(browser), QLatin1String("refused"), 10000);
        QVERIFY(once("new code") && !browser.text("#banner").contains("Wrong code"));
        QVERIFY(browser.visible("#code-input"));
        QVERIFY(browser.type("#code-input", code) && browser.click("#login-button"));
        QTRY_COMPARE_WITH_TIMEOUT(state(browser), QLatin1String("connected"), 10000);
    }

    // Next on the Slides tab reaches the program in front on the PC. A burst of
    // presses is cut to what the PC takes: none refused, none sent late. A sideways
    // swipe turns a slide, a slanting drag does not.
    void slideKeys()
    {
        KeyWindow presentation;
        QTRY_VERIFY(presentation.window && probe.focus(presentation.window));
        QVERIFY(tab("slides"));
        browser.script("window.notes = [];"
                       "const n = document.getElementById('slides-status');"
                       "new MutationObserver(() => notes.push(n.textContent))"
                       ".observe(n, {childList: true});");
        browser.script("for (let i = 0; i < 30; ++i) document.getElementById('key-next').click();");
        const QStringList burst = QVector<QString>(20, QStringLiteral("Right")).toList();
        QTRY_COMPARE_WITH_TIMEOUT(presentation.keys(), burst, 5000);

        // Done again while the page holds it back for being too fast, until sent.
        const auto pressed = [this](const std::function<bool()>& act) {
            for (QDeadlineTimer deadline(5000); !deadline.hasExpired(); QTest::qWait(50)) {
                if (!act())
                    return false;
                if (browser.attribute("#slides-status", "data-state") != "error")
                    return true;
            }
            return false;
        };
        QVERIFY(pressed([this] { return browser.click("#key-previous"); }));
        QTRY_COMPARE(browser.attribute("#slides-status", "data-state"), QLatin1String("ok"));
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
        QTRY_COMPARE(presentation.keys(), all);
        const QString notes = browser.script("return notes.join('|');").toString();
        QVERIFY2(!notes.contains("Failed"), qPrintable(notes));
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
            const QString misfits =
                phone
                    .script("scrollTo(0, 0);"
                            "const out = [];"
                            "if (document.documentElement.scrollWidth !== innerWidth)"
                            "  out.push('scroll width ' + document.documentElement.scrollWidth);"
                            "for (const b of document.querySelectorAll('button, input, .button')) {"
                            "  if (!b.getClientRects().length || b.id === 'upload') continue;"
                            "  const r = b.getBoundingClientRect();"
                            "  if (r.width < 44 || r.height < 44) out.push(b.id + ' small');"
                            "  if (r.left < 0 || r.right > innerWidth) out.push(b.id + ' outside');"
                            "  const floor = arguments[0] ? innerHeight"
                            "    : document.getElementById('tabs').getBoundingClientRect().top;"
                            "  if ((arguments[0] && b.closest('#tab-board') || "
                            "b.closest('#tab-slides'))"
                            "      && r.bottom > floor)"
                            "    out.push(b.id + ' below');"
                            "}"
                            "const o = document.getElementById('board-open');"
                            "if (o.offsetParent && o.scrollWidth > o.clientWidth) out.push('open "
                            "board');"
                            "return out.join(', ');",
                            {side})
                    .toString();
            QVERIFY2(misfits.isEmpty(), qPrintable(QString(name) + ": " + misfits));
        }
    }

    void reports_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QByteArray>("reason");
        const QByteArray failed("failed");
        QTest::newRow("shown") << http.url("/wide.png") << QByteArray("shown") << QByteArray();
        QTest::newRow("404") << http.url("/none.png") << failed << QByteArray("not found");
        QTest::newRow("500") << http.url("/broken.png") << failed << QByteArray("HTTP 500");
        QTest::newRow("text") << http.url("/notes.txt") << failed << QByteArray("not a picture");
        QTest::newRow("200 MB") << http.url("/huge.png") << failed << QByteArray("too large");
        QTest::newRow("nobody there")
            << QStringLiteral("http://127.0.0.1:%1/a.png").arg(jwtest::freePort()) << failed
            << QByteArray("cannot connect");
        QTest::newRow("a file") << QStringLiteral("file:///etc/hostname") << failed
                                << QByteArray("not a web address");
    }
    // Byte for byte: a page that asked hears how the show came up and what came of
    // its picture; an app gets only the reply, as ever.
    void reports()
    {
        QFETCH(QString, url);
        QFETCH(QByteArray, value);
        QFETCH(QByteArray, reason);
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
        QVERIFY(browser.navigate(help)); // the browser speaks English
        QCOMPARE(browser.script("return document.documentElement.lang;").toString(),
                 QLatin1String("en"));
        QVERIFY(browser.navigate(help + "?lang=zh"));
        QCOMPARE(browser.script("return document.documentElement.lang;").toString(),
                 QLatin1String("zh-CN"));
        QCOMPARE(
            browser.script("return getComputedStyle(document.body).backgroundColor;").toString(),
            QLatin1String("rgb(13, 20, 27)"));
        const QString text = browser.text("body");
        for (const int port : {int(program->port()), program->port() + 1, program->port() + 2})
            QVERIFY(text.contains(QString::number(port)));
        QVERIFY(!text.contains(code) && !text.contains("{{"));
    }
};

QTEST_GUILESS_MAIN(TestPageBrowser)
#include "tst_page_browser.moc"
