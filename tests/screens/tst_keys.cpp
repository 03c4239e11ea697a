// Slide keys on the X server of the run: a controller's keys (here jwshowctl's)
// reach the window that has the focus, a window of this test's as a presentation
// program's would be; unknown ones, and any while the show window is in front,
// are refused.
#include "e2eutil.h"
#include "jwinstance.h"
#include "x11probe.h"

#include <QtTest>
#include <QtWidgets>

#include <X11/keysym.h>

using namespace jwtest;

namespace
{
// What reaches it from the keyboard, press ('+') and release ('-') of each key.
struct KeyRecorder : QWidget {
    QStringList keys;
    void keyPressEvent(QKeyEvent* e) override { keys << "+" + QKeySequence(e->key()).toString(); }
    void keyReleaseEvent(QKeyEvent* e) override { keys << "-" + QKeySequence(e->key()).toString(); }
};
} // namespace

class TestKeys : public QObject
{
    Q_OBJECT
    X11Probe probe;

private slots:
    void initTestCase() { QVERIFY(probe.isOpen()); }

    void keysReachTheFocusedWindow()
    {
        JwInstance prog(presentingOptions());
        QVERIFY2(prog.start(), qPrintable(prog.errorString()));
        KeyRecorder presentation;
        presentation.setWindowTitle("presentation");
        presentation.setGeometry(100, 100, 400, 300);
        presentation.show();
        QVERIFY(QTest::qWaitForWindowExposed(&presentation));
        QTRY_VERIFY(probe.focus(presentation.winId()));

        const QStringList values{"next",  "previous", "first", "last",
                                 "start", "end",      "black", "white"};
        QStringList args{"--port", QString::number(prog.port()), "--login", "p1"};
        for (const QString& v : values)
            args << "key" << v;
        QProcess ctl;
        ctl.start(JW_BIN_DIR "/jwshowctl", args);
        QVERIFY(ctl.waitForFinished(10000));
        QList<QByteArray> lines = ctl.readAllStandardOutput().split('\n');
        lines = lines.mid(2, values.size()); // after the greeting and the login reply
        for (int i = 0; i < values.size(); ++i)
            QCOMPARE(lines.value(i), e2e::envelope(QByteArray::number(i + 2), "p1", "key"));
        QStringList expected;
        for (const char* key : {"Right", "Left", "Home", "End", "F5", "Esc", "B", "W"})
            expected << QStringLiteral("+") + key << QStringLiteral("-") + key;
        QTRY_COMPARE(presentation.keys, expected);

        // Refused where they would misfire, and nothing sent.
        Controller c(prog.port());
        QVERIFY(c.connectToHost() && c.login("p1").contains(R"("ret":"0")"));
        auto key = [&c](const char* id, const char* value) {
            return c.request({{"type", "key"}, {"id", id}, {"from", "p1"}, {"value", value}});
        };
        QCOMPARE(key("2", "pause"), e2e::envelope("2", "p1", "key", "-1", "unknown key"));
        QCOMPARE(c.request({{"type", "mode"}, {"id", "3"}, {"from", "p1"}, {"value", "show"}}),
                 e2e::envelope("3", "p1", "mode"));
        const auto shown = [this] {
            return probe.coversScreen(probe.findWindow("Tovanel-演示模式"));
        };
        QTRY_VERIFY(shown());
        // Once the window has the focus: Escape would take it out of full screen.
        QTRY_COMPARE(key("4", "end"),
                     e2e::envelope("4", "p1", "key", "-1", "the show window is in front"));
        QVERIFY(shown());
        QCOMPARE(prog.stop(), 0);
    }
};

QTEST_MAIN(TestKeys)
#include "tst_keys.moc"
