// The browser remote as a phone uses it: a headless Chromium opens the address of
// the main window's QR code and drives the page against the real program on the
// X server. What the page does is checked where it lands: the screen's pixels,
// the system pointer, the whiteboard, and the video reports the page shows.

#include "browserdriver.h"
#include "browserproxy.h"
#include "e2eutil.h"
#include "flatpng.h"
#include "httpserver.h"
#include "jwinstance.h"
#include "x11probe.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

namespace
{
const QRgb kByAddress = qRgb(30, 160, 60), kUploaded = qRgb(200, 40, 160);
const QRgb kAfterCut = qRgb(250, 120, 10), kBlue = qRgb(0, 0, 255);
const QSize kPictureSize(800, 600); // every picture here: never enlarged, so shown as is
bool near(QRgb a, QRgb b)
{
    return qAbs(qRed(a) - qRed(b)) <= 3 && qAbs(qGreen(a) - qGreen(b)) <= 3 &&
           qAbs(qBlue(a) - qBlue(b)) <= 3;
}
// A point of a pad's inner box in thousandths of it, as the page computes it.
QPoint thousandths(const QRectF& box, QPoint p)
{
    return QPoint(qRound((p.x() - box.x()) / box.width() * 1000),
                  qRound((p.y() - box.y()) / box.height() * 1000));
}
QPoint at(const QRectF& box, double fx, double fy)
{
    return QPointF(box.x() + box.width() * fx, box.y() + box.height() * fy).toPoint();
}
const QString kState = QStringLiteral("#status");
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

    QString qrUrl(quint16 port = 0) const
    {
        return QStringLiteral("http://127.0.0.1:%1/#%2").arg(port ? port : webPort).arg(code);
    }
    QString state() { return browser.attribute(kState, "data-state"); }
    bool tab(const char* name) { return browser.click(QStringLiteral("#tab-button-") + name); }
    // The shown picture's rectangle: centred in the full-screen show window.
    QRect picture() const
    {
        const QRect screen = probe.geometry(probe.findWindow("Tovanel-演示模式"));
        return QRect(screen.center() - QPoint(kPictureSize.width(), kPictureSize.height()) / 2,
                     kPictureSize);
    }
    QPoint onScreen(QPoint thousandths) const
    {
        const QRect r = picture();
        return r.topLeft() +
               QPoint(thousandths.x() * r.width() / 1000, thousandths.y() * r.height() / 1000);
    }
    bool showing(QRgb colour) const
    {
        for (QPoint p : {QPoint(500, 500), QPoint(100, 100), QPoint(900, 900)}) {
            const QPoint s = onScreen(p);
            if (!near(probe.pixel(s.x(), s.y()), colour))
                return false;
        }
        return true;
    }
    bool logIn(const QString& name)
    {
        return browser.type("#name-input", name) && browser.click("#login-button");
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
        http.serve("/p.png", flatPng(kByAddress, 800, 600), "image/png");
        http.serve("/q.png", flatPng(kAfterCut, 800, 600), "image/png");

        jwtest::JwInstanceOptions o = jwtest::presentingOptions();
        o.env.insert("JWSHOW_VLC_ARGS", "--aout=adummy");
        o.port = jwtest::freePortWith({1, 2});
        program = std::make_unique<jwtest::JwInstance>(o);
        QVERIFY2(program->start(), qPrintable(program->errorString()));
        webPort = quint16(QSettings(program->iniPath(), QSettings::IniFormat)
                              .value("config/webport", program->port() + 2)
                              .toUInt());
        QTRY_VERIFY2_WITH_TIMEOUT(jwtest::isListening(webPort), "the web port never listens",
                                  10000);
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
        QVERIFY2(browser.navigate(qrUrl()), qPrintable(browser.lastError()));
        QTRY_VERIFY(browser.visible("#name-input"));
        QVERIFY(!browser.visible("#code-row"));
        QVERIFY(!browser.visible("#main"));
        QVERIFY(logIn("Browser"));
        QTRY_COMPARE_WITH_TIMEOUT(state(), QLatin1String("connected"), 10000);
        QVERIFY(browser.visible("#main") && !browser.visible("#login"));
        const QString id = browser.script("return localStorage.getItem('jw.id');").toString();
        QVERIFY(id.startsWith("web-"));

        QVERIFY(browser.navigate("about:blank") && browser.navigate(qrUrl()));
        QTRY_COMPARE_WITH_TIMEOUT(state(), QLatin1String("connected"), 10000);
        QCOMPARE(browser.script("return localStorage.getItem('jw.id');").toString(), id);
        QVERIFY(browser.text("#user-name").contains("Browser"));
    }

    void pictureByAddress()
    {
        QVERIFY(tab("screen"));
        QVERIFY(browser.type("#image-url", http.url("/p.png")) && browser.click("#image-show"));
        QTRY_VERIFY_WITH_TIMEOUT(showing(kByAddress), 10000);
        QTRY_COMPARE(browser.attribute("#image-status", "data-state"), QLatin1String("ok"));
    }

    // A photo from the phone goes up to the program and is shown; a file that is
    // no picture is refused and the page says why.
    void pictureFromPhone()
    {
        const QString photo = files.filePath("photo.png"), note = files.filePath("note.txt");
        QFile f(photo), g(note);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(flatPng(kUploaded, 800, 600)) > 0);
        QVERIFY(g.open(QIODevice::WriteOnly) && g.write("not a picture\n") > 0);
        f.close(), g.close();

        QVERIFY(tab("screen"));
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
        const QPoint from = at(pad, 0.25, 0.75), to = at(pad, 0.8, 0.2);
        const QPoint want = onScreen(thousandths(pad, to));
        QVERIFY(probe.pointer() != want);
        QVERIFY2(browser.swipe({from, at(pad, 0.5, 0.5), to}), qPrintable(browser.lastError()));
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
        QVERIFY(tab("board"));
        QVERIFY(browser.click("#board-open"));
        QTRY_VERIFY_WITH_TIMEOUT(probe.isViewable(probe.findWindow("Sketchpad")), 5000);
        QVERIFY(browser.click("#color-blue") && browser.click("#width-16"));
        const QRectF pad = browser.innerBox("#board");
        QVERIFY(!pad.isEmpty());
        const QPoint from = at(pad, 0.1, 0.5), to = at(pad, 0.9, 0.5);
        QVERIFY(browser.swipe({from, at(pad, 0.4, 0.5), at(pad, 0.6, 0.5), to}));
        const int y = thousandths(pad, from).y();
        auto line = [&](QRgb colour) {
            for (int x : {200, 350, 500, 650, 800}) {
                const QPoint s = onScreen(QPoint(x, y));
                if (!near(probe.pixel(s.x(), s.y()), colour))
                    return false;
            }
            return true;
        };
        QTRY_VERIFY_WITH_TIMEOUT(line(kBlue), 5000);
        const QPoint above = onScreen(QPoint(500, 200));
        QVERIFY(near(probe.pixel(above.x(), above.y()), kUploaded));

        QVERIFY(browser.click("#board-undo"));
        QTRY_VERIFY_WITH_TIMEOUT(line(kUploaded), 5000);
        QVERIFY(browser.click("#board-close"));
        QTRY_VERIFY_WITH_TIMEOUT(!probe.isViewable(probe.findWindow("Sketchpad")), 5000);
    }

    // The page shows what the program reports about the video it plays.
    void videoPlayPause()
    {
        QVERIFY(tab("video"));
        QVERIFY(browser.type("#video-url", http.url("/v.mp4")) && browser.click("#video-show"));
        const QString status = "#video-status";
        QTRY_COMPARE_WITH_TIMEOUT(browser.attribute(status, "data-state"), QLatin1String("playing"),
                                  15000);
        QCOMPARE(browser.text(status), QLatin1String("playing"));
        // The duration (12 s) sets the seek bar's end; the position moves it.
        QTRY_VERIFY(browser.attribute("#video-seek", "max").toInt() >= 11000);
        QTRY_VERIFY(browser.script("return +document.getElementById('video-seek').value;").toInt() >
                    0);
        QVERIFY(browser.click("#video-pause"));
        QTRY_COMPARE_WITH_TIMEOUT(browser.text(status), QLatin1String("paused"), 5000);
        QVERIFY(browser.click("#video-play"));
        QTRY_COMPARE_WITH_TIMEOUT(browser.text(status), QLatin1String("playing"), 5000);
        QVERIFY(browser.click("#video-stop"));
        QTRY_COMPARE_WITH_TIMEOUT(browser.text(status), QLatin1String("stopped"), 5000);
    }

    // A wrong code is refused once, with no retries that would count towards the
    // lock-out; the right code typed in then gets in.
    void wrongCodeRefused()
    {
        const QString wrong =
            QStringLiteral("%1").arg((code.toInt() + 1) % 1000000, 6, 10, QLatin1Char('0'));
        QVERIFY(browser.navigate("about:blank"));
        QVERIFY(
            browser.navigate(QStringLiteral("http://127.0.0.1:%1/#%2").arg(webPort).arg(wrong)));
        QTRY_COMPARE_WITH_TIMEOUT(state(), QLatin1String("refused"), 10000);
        QVERIFY(browser.text("#banner").contains("Wrong code"));
        QVERIFY(browser.visible("#code-row"));
        QTest::qWait(2500);
        QCOMPARE(state(), QLatin1String("refused"));

        QVERIFY(browser.type("#code-input", code) && browser.click("#login-button"));
        QTRY_COMPARE_WITH_TIMEOUT(state(), QLatin1String("connected"), 10000);
    }

    // The network between phone and PC goes away (every connection reset, new ones
    // refused) and comes back: the page says it is reconnecting, then logs in
    // again by itself, and its commands work again.
    void reconnectsAfterNetworkCut()
    {
        BrowserProxy network;
        QVERIFY(network.start(webPort));
        QVERIFY(browser.navigate("about:blank") && browser.navigate(qrUrl(network.port())));
        // Another address is another site to the browser: the name is asked again.
        QTRY_VERIFY(browser.visible("#name-input"));
        QVERIFY(logIn("Browser"));
        QTRY_COMPARE_WITH_TIMEOUT(state(), QLatin1String("connected"), 10000);

        const int before = network.accepted();
        network.cut();
        QTRY_COMPARE_WITH_TIMEOUT(state(), QLatin1String("reconnecting"), 5000);
        QVERIFY(browser.visible("#banner"));
        QVERIFY(browser.text("#banner").contains("reconnecting"));
        QVERIFY(browser.visible("#main")); // the controls stay where the thumb is
        QTest::qWait(1500);
        QCOMPARE(state(), QLatin1String("reconnecting"));
        QVERIFY(network.resume());
        QTRY_COMPARE_WITH_TIMEOUT(state(), QLatin1String("connected"), 10000);
        QVERIFY(network.accepted() > before);
        QVERIFY(!browser.visible("#banner"));

        QVERIFY(tab("screen"));
        QVERIFY(browser.type("#image-url", http.url("/q.png")) && browser.click("#image-show"));
        QTRY_VERIFY_WITH_TIMEOUT(showing(kAfterCut), 10000);
    }
};

QTEST_GUILESS_MAIN(TestWebBrowser)
#include "tst_web_browser.moc"
