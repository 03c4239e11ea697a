// The real program changes the display mode for a controller and puts it back
// when the last controller leaves or the program quits, on a server that can
// switch modes (scripts/with-xorg-dummy, 1920x1080 at the start).

#include "e2eutil.h"
#include "host/display.h"
#include "jwinstance.h"
#include "x11probe.h"

#include <QtTest>

using namespace jwtest;

class TestDisplayE2e : public QObject
{
    Q_OBJECT
    X11Probe probe_;

    // The change is queued to the program's GUI thread: wait for it.
    bool screenBecomes(const QSize& size, int ms = 5000) const
    {
        QDeadlineTimer deadline(ms);
        while (probe_.screenSize() != size || probe_.primaryCrtcSize() != size) {
            if (deadline.hasExpired())
                return false;
            QThread::msleep(20);
        }
        return true;
    }
    static QJsonObject set(const char* id, int width, int height)
    {
        return {{"type", "resolution"},
                {"id", id},
                {"from", "phone1"},
                {"act", "set"},
                {"width", QString::number(width)},
                {"height", QString::number(height)}};
    }
    static QByteArray ok(const char* id) { return e2e::envelope(id, "phone1", "resolution"); }

private slots:
    void initTestCase() { QVERIFY2(probe_.isOpen(), "run it under scripts/with-xorg-dummy"); }
    void init() // a failed function does not leave its mode to the next
    {
        host::detail::ChangeDisplayMode(1920, 1080);
        QCOMPARE(probe_.screenSize(), QSize(1920, 1080));
    }
    void lastControllerLeaving();
    void quitRestores();
};

void TestDisplayE2e::lastControllerLeaving()
{
    JwInstance prog(presentingOptions());
    QVERIFY2(prog.start(), qPrintable(prog.errorString()));
    {
        Controller c(prog.port());
        QVERIFY(c.connectToHost());
        QVERIFY(c.login("phone1").contains(R"("ret":"0")"));
        QCOMPARE(c.request(set("2", 1024, 768)), ok("2"));
        QVERIFY(screenBecomes({1024, 768}));
        // Larger than the start's screen in both dimensions: ignored. The next
        // request is handled after it: a second change, from the changed mode.
        QCOMPARE(c.request(set("3", 2560, 1440)), ok("3"));
        QCOMPARE(c.request(set("4", 800, 600)), ok("4"));
        QVERIFY(screenBecomes({800, 600}));
    } // disconnects: the last controller row goes, the start's mode comes back
    QVERIFY(screenBecomes({1920, 1080}));
    QCOMPARE(prog.stop(), 0);
}

void TestDisplayE2e::quitRestores()
{
    JwInstance prog(presentingOptions());
    QVERIFY2(prog.start(), qPrintable(prog.errorString()));
    Controller c(prog.port());
    QVERIFY(c.connectToHost());
    QVERIFY(c.login("phone1").contains(R"("ret":"0")"));
    QCOMPARE(c.request(set("2", 1024, 768)), ok("2"));
    QVERIFY(screenBecomes({1024, 768}));
    QCOMPARE(prog.stop(), 0); // SIGTERM, with the controller still there
    QCOMPARE(probe_.screenSize(), QSize(1920, 1080));
    QCOMPARE(probe_.primaryCrtcSize(), QSize(1920, 1080));
}

QTEST_GUILESS_MAIN(TestDisplayE2e)
#include "tst_display_e2e.moc"
