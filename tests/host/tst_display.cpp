// The display mode on a server that can switch it (scripts/with-xorg-dummy), set by
// the host layer, then by the program until the last controller leaves or it quits.

#include "e2eutil.h"
#include "host/display.h"
#include "jwinstance.h"
#include "x11probe.h"

#include <QtTest>

class TestDisplay : public QObject
{
    Q_OBJECT
    X11Probe probe_;
    host::DisplayMode mode_;
    bool screenIs(const QSize& size) const
    {
        return probe_.screenSize() == size && probe_.primaryCrtcSize() == size;
    }
    QSize savedSize() const
    {
        return QSize(int(mode_.SavedScreenWidth()), int(mode_.SavedScreenHeight()));
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(probe_.isOpen(), "no X server: run it under scripts/with-xorg-dummy");
        QVERIFY(screenIs({1920, 1080}));
    }
    void withoutDisplay();
    void requests_data();
    void requests();
    void program();
    void cleanupTestCase() { mode_.RestoreDisplayResolution(); }
};

// On the offscreen platform nothing is recorded and nothing changes.
void TestDisplay::withoutDisplay()
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    mode_.SaveDisplayResolution();
    const QSize saved = savedSize();
    const int larger = mode_.SetDisplayResolution(1024, 768); // larger than 0x0: ignored
    const int zero = mode_.SetDisplayResolution(0, 768);      // tried, no display
    qunsetenv("QT_QPA_PLATFORM");
    QCOMPARE(saved, QSize(0, 0));
    QCOMPARE(QPoint(larger, zero), QPoint(0, -1));
    QVERIFY(!mode_.IsResolutionChanged() && screenIs({1920, 1080}));

    mode_.SaveDisplayResolution(); // with the display, for the requests that follow
    QCOMPARE(savedSize(), QSize(1920, 1080));
}

// One step per row, in order, each from where the previous one left the screen.
void TestDisplay::requests_data()
{
    QTest::addColumn<bool>("restore");
    QTest::addColumn<QSize>("asked");
    QTest::addColumn<int>("result");
    QTest::addColumn<QSize>("screen");
    QTest::addColumn<bool>("changed");
    auto set = [](const char* name, QSize asked, int result, QSize screen, bool changed) {
        QTest::newRow(name) << false << asked << result << screen << changed;
    };
    set("larger in both: ignored", {2560, 1440}, 0, {1920, 1080}, false);
    set("wider only: tried, no such mode", {2560, 768}, -1, {1920, 1080}, false);
    set("smaller in both", {1024, 768}, 0, {1024, 768}, true);
    set("again while changed, larger", {1600, 900}, 0, {1600, 900}, true);
    set("narrower and taller", {1280, 1024}, 0, {1280, 1024}, true);
    set("wider and lower", {1600, 900}, 0, {1600, 900}, true);
    set("no such mode while changed", {1000, 700}, -1, {1600, 900}, true);
    QTest::newRow("restore") << true << QSize() << 0 << QSize(1920, 1080) << false;
    QTest::newRow("restore unchanged") << true << QSize() << 0 << QSize(1920, 1080) << false;
}

void TestDisplay::requests()
{
    QFETCH(bool, restore);
    QFETCH(QSize, asked);
    QFETCH(int, result);
    QFETCH(QSize, screen);
    QFETCH(bool, changed);
    QCOMPARE(restore ? mode_.RestoreDisplayResolution()
                     : mode_.SetDisplayResolution(ulong(asked.width()), ulong(asked.height())),
             result);
    QVERIFY(screenIs(screen));
    QCOMPARE(mode_.IsResolutionChanged(), changed);
    QCOMPARE(savedSize(), QSize(1920, 1080)); // always the start's
}

void TestDisplay::program()
{
    jwtest::JwInstance prog(jwtest::presentingOptions());
    QVERIFY2(prog.start(), qPrintable(prog.errorString()));
    auto set = [](jwtest::Controller& c, const char* id) { // 1024 x 768
        const QJsonObject size{{"act", "set"}, {"width", "1024"}, {"height", "768"}};
        return c.request(jwtest::packet("resolution", "phone1", size, id)) ==
               e2e::envelope(id, "phone1", "resolution");
    };
    {
        jwtest::Controller c(prog.port());
        QVERIFY(c.connectToHost() && c.login("phone1").contains("\"ret\":\"0\""));
        QVERIFY(set(c, "2"));
        QTRY_VERIFY_WITH_TIMEOUT(screenIs({1024, 768}), 5000);
    } // the last controller leaves
    QTRY_VERIFY_WITH_TIMEOUT(screenIs({1920, 1080}), 5000);
    jwtest::Controller c(prog.port());
    QVERIFY(c.connectToHost() && c.login("phone1").contains("\"ret\":\"0\""));
    QVERIFY(set(c, "5"));
    QTRY_VERIFY_WITH_TIMEOUT(screenIs({1024, 768}), 5000);
    QCOMPARE(prog.stop(), 0); // SIGTERM, with the controller still there
    QVERIFY(screenIs({1920, 1080}));
}

QTEST_GUILESS_MAIN(TestDisplay)
#include "tst_display.moc"
