// The real program's whiteboards over a shown picture, drawn through the protocol:
// painted over it here, translucent in the desktop runs with a compositing manager.

#include "flatpng.h"
#include "httpserver.h"
#include "jwinstance.h"
#include "x11probe.h"

#include <QJsonObject>
#include <QtTest>
#include <memory>

#include <X11/keysym.h>

namespace
{
const QRgb kPicture = qRgb(30, 160, 60);
const QRgb kRed = qRgb(255, 0, 0), kBlue = qRgb(0, 0, 255);
using jwtest::packet;
// A horizontal stroke through the picture at height y, from x 100 to 900.
bool stroke(jwtest::Controller& c, const QString& from, int y)
{
    return c.send(packet("whiteboard.draw.start", from, {{"x", 100}, {"y", y}})) &&
           c.send(packet("whiteboard.drawing", from, {{"x", 500}, {"y", y}})) &&
           c.send(packet("whiteboard.drawing", from, {{"x", 900}, {"y", y}})) &&
           c.send(packet("whiteboard.draw.end", from));
}
} // namespace

class TestWhiteboardE2e : public QObject
{
    Q_OBJECT
    X11Probe probe;
    TestHttpServer http;
    std::unique_ptr<jwtest::JwInstance> program;

    // A point in thousandths of the picture (800 x 600, centred on 1920 x 1080) shows
    // colour, give or take the step a compositing manager may blend it by.
    bool shows(int x, int y, QRgb colour)
    {
        return similar(probe.pixel(560 + x * 800 / 1000, 240 + y * 600 / 1000), colour, 2);
    }
    // Logs c in as `from`, and with `show` has the window show the picture.
    bool join(jwtest::Controller& c, const QString& from, bool show = true)
    {
        auto ask = [&](const char* type, const char* key, const QString& value) {
            return !c.request(packet(type, from, {{key, value}})).isEmpty();
        };
        return c.connectToHost() && !c.login(from).isEmpty() &&
               (!show ||
                (ask("mode", "value", "show") && ask("show.image", "url", http.url("/p.png"))));
    }

private slots:
    void initTestCase()
    {
        if (!probe.isOpen())
            QSKIP("needs an X display");
        QVERIFY(probe.waitForDesktop());
        QVERIFY(http.start());
        http.serve("/p.png", flatPng(kPicture, 800, 600), "image/png");
    }
    void init()
    {
        program = std::make_unique<jwtest::JwInstance>(jwtest::presentingOptions());
        QVERIFY2(program->start(), qPrintable(program->errorString()));
    }
    void cleanup() { QCOMPARE(std::exchange(program, nullptr)->stop(), 0); }

    void drawUndoRedoClearEnd()
    {
        jwtest::Controller a(program->port()), b(program->port());
        QVERIFY(join(a, "a") && join(b, "b", false));
        QTRY_VERIFY_WITH_TIMEOUT(shows(500, 500, kPicture), 10000);
        QVERIFY(a.send(packet("whiteboard.start", "a")) && b.send(packet("whiteboard.start", "b")));
        QVERIFY(a.send(packet("whiteboard.pen.width", "a", {{"value", "9"}})));
        QVERIFY(b.send(packet("whiteboard.pen.width", "b", {{"value", "9"}})));
        QVERIFY(b.send(packet("whiteboard.color", "b", {{"r", 0}, {"g", 0}, {"b", 255}})));
        QVERIFY(stroke(a, "a", 300) && stroke(b, "b", 700));
        QTRY_VERIFY_WITH_TIMEOUT(shows(300, 300, kRed), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(shows(700, 700, kBlue), 5000);
        QVERIFY(shows(500, 500, kPicture)); // the picture still shows between the strokes

        QVERIFY(b.send(packet("whiteboard.undo", "b")));
        QTRY_VERIFY_WITH_TIMEOUT(shows(700, 700, kPicture), 5000);
        QVERIFY(shows(300, 300, kRed)); // b's undo leaves a's board alone
        QVERIFY(b.send(packet("whiteboard.redraw", "b")));
        QTRY_VERIFY_WITH_TIMEOUT(shows(700, 700, kBlue), 5000);
        QVERIFY(a.send(packet("whiteboard.clear", "a")));
        QTRY_VERIFY_WITH_TIMEOUT(shows(300, 300, kPicture), 5000);
        QVERIFY(b.send(packet("whiteboard.end", "b")));
        QTRY_VERIFY_WITH_TIMEOUT(shows(700, 700, kPicture), 5000);
        QVERIFY(a.send(packet("whiteboard.end", "a")));
        QTRY_VERIFY_WITH_TIMEOUT(shows(100, 100, kPicture) && shows(900, 900, kPicture), 10000);

        // Closed by the window's close button, a board takes no commands till opened again.
        QVERIFY(a.send(packet("whiteboard.start", "a")));
        QTRY_VERIFY_WITH_TIMEOUT(probe.viewableWindows("Sketchpad").size() == 1, 5000);
        // Pressed again (at most five times, a second apart) should the press have gone
        // to a window the toolkit remade meanwhile.
        const auto closed = [this] { return probe.viewableWindows("Sketchpad").isEmpty(); };
        for (int press = 0; press < 5 && !closed(); ++press) {
            const QList<unsigned long> shown = probe.viewableWindows("Sketchpad");
            QVERIFY(shown.isEmpty() || probe.sendDeleteWindow(shown.first()));
            (void)QTest::qWaitFor(closed, 1000);
        }
        QVERIFY(closed());
        QVERIFY(stroke(a, "a", 500));
        QVERIFY(a.send(packet("whiteboard.start", "a")) && stroke(a, "a", 300));
        QTRY_VERIFY_WITH_TIMEOUT(shows(300, 300, kRed), 5000);
        QVERIFY(shows(500, 500, kPicture));
    }

    // A controller that leaves takes its own boards, even one Esc made a normal window;
    // the board of the one who stays keeps toggling full screen with Esc.
    void boardGoesWithItsController_data()
    {
        QTest::addColumn<QString>("leaving");
        QTest::newRow("logout") << "logout";
        QTest::newRow("connection closed") << "close";
        QTest::newRow("two ids, connection closed") << "two ids";
    }
    void boardGoesWithItsController()
    {
        QFETCH(QString, leaving);
        jwtest::Controller stays(program->port());
        auto goes = std::make_unique<jwtest::Controller>(program->port());
        QVERIFY(join(stays, "stays") && join(*goes, "goes", false));
        QStringList ids{"goes"};
        if (leaving == "two ids") {
            QVERIFY(!goes->login("goes2").isEmpty());
            ids << "goes2";
        }
        QVERIFY(stays.send(packet("whiteboard.start", "stays")));
        QTRY_COMPARE_WITH_TIMEOUT(probe.viewableWindows("Sketchpad").size(), 1, 5000);
        const unsigned long staying = probe.viewableWindows("Sketchpad").first();
        for (const QString& id : ids)
            QVERIFY(goes->send(packet("whiteboard.start", id)));
        QTRY_COMPARE_WITH_TIMEOUT(probe.viewableWindows("Sketchpad").size(), 1 + ids.size(), 5000);
        const QList<unsigned long> boards = probe.viewableWindows("Sketchpad");
        const unsigned long escaped = boards.at(boards.first() == staying ? 1 : 0);
        QTRY_VERIFY(probe.focus(escaped));
        QVERIFY(probe.key(XK_Escape));
        QTRY_VERIFY_WITH_TIMEOUT(probe.isViewable(escaped) && !probe.coversScreen(escaped), 5000);

        if (leaving == "logout")
            QVERIFY(goes->send(packet("logout", "goes")));
        else
            goes.reset();
        QTRY_COMPARE_WITH_TIMEOUT(probe.viewableWindows("Sketchpad"), QList<unsigned long>{staying},
                                  5000);
        for (bool full : {false, true}) {
            QTRY_VERIFY(probe.focus(staying));
            QVERIFY(probe.key(XK_Escape));
            QTRY_VERIFY_WITH_TIMEOUT(
                probe.isViewable(staying) && probe.coversScreen(staying) == full, 5000);
        }
    }

    // The show window hidden, its picture is gone from under the board's stroke.
    void boardShowsNoStalePicture()
    {
        jwtest::Controller a(program->port());
        QVERIFY(join(a, "a"));
        QTRY_VERIFY_WITH_TIMEOUT(shows(500, 500, kPicture), 10000);
        QVERIFY(a.send(packet("whiteboard.start", "a")));
        QVERIFY(a.send(packet("whiteboard.pen.width", "a", {{"value", "9"}})));
        QVERIFY(stroke(a, "a", 300));
        QTRY_VERIFY_WITH_TIMEOUT(shows(300, 300, kRed), 5000);
        for (const char* mode : {"remote", "show", "remote"}) {
            QVERIFY(!a.request(packet("mode", "a", {{"value", mode}})).isEmpty());
            const bool shown = QByteArray(mode) == "show";
            QTRY_VERIFY2_WITH_TIMEOUT(shows(500, 500, kPicture) == shown && shows(300, 300, kRed),
                                      mode, 5000);
        }
    }
};

QTEST_GUILESS_MAIN(TestWhiteboardE2e)
#include "tst_whiteboard_e2e.moc"
