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

        const QList<QPair<const char*, const char*>> keys{
            {"next", "Right"}, {"previous", "Left"}, {"first", "Home"}, {"last", "End"},
            {"start", "F5"},   {"end", "Esc"},       {"black", "B"},    {"white", "W"}};
        QStringList args{"--port", QString::number(prog.port()), "--login", "p1"}, expected;
        for (const auto& k : keys)
            args << "key" << k.first, expected << QString("+%1 -%1").arg(k.second);
        QProcess ctl;
        ctl.start(JW_BIN_DIR "/jwshowctl", args);
        QVERIFY(ctl.waitForFinished(10000));
        // After the greeting and the login reply.
        const QList<QByteArray> lines = ctl.readAllStandardOutput().split('\n');
        for (int i = 0; i < keys.size(); ++i)
            QCOMPARE(lines.value(i + 2), e2e::envelope(QByteArray::number(i + 2), "p1", "key"));
        QTRY_COMPARE(presentation.keys.join(' '), expected.join(' '));

        // Refused where they would misfire, and nothing sent.
        Controller c(prog.port());
        QVERIFY(c.connectToHost() && c.login("p1").contains(R"("ret":"0")"));
        QCOMPARE(c.request(packet("key", "p1", {{"value", "pause"}})),
                 e2e::envelope("2", "p1", "key", "-1", "unknown key"));
        QCOMPARE(c.request(packet("mode", "p1", {{"value", "show"}}, "3")),
                 e2e::envelope("3", "p1", "mode"));
        const auto shown = [this] {
            return probe.coversScreen(probe.findWindow("Tovanel-演示模式"));
        };
        QTRY_VERIFY(shown());
        // Once the window has the focus: Escape would take it out of full screen.
        QTRY_COMPARE(c.request(packet("key", "p1", {{"value", "end"}}, "4")),
                     e2e::envelope("4", "p1", "key", "-1", "the show window is in front"));
        QVERIFY(shown());
        QCOMPARE(prog.stop(), 0);
    }
};

QTEST_MAIN(TestKeys)
#include "tst_keys.moc"
