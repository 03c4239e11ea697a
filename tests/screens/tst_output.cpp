// The show screen's own output, on a server whose modes can change
// (scripts/with-xorg-dummy, a second output plugged in right of the first by
// xrandr): a mode change acts on that output alone and the quit puts it back; the
// windows leave it while it is unplugged and come back with it.
#include "e2eutil.h"
#include "jwinstance.h"
#include "x11probe.h"

#include <QtTest>

using namespace jwtest;

namespace
{
const QRect kFirst(0, 0, 1920, 1080), kSecond(1920, 0, 1280, 1024);
const QRect kSmaller(kSecond.topLeft(), QSize(1024, 768));
} // namespace

class TestOutput : public QObject
{
    Q_OBJECT
    X11Probe probe;

    static QString xrandr(const QStringList& args = {})
    {
        QProcess p;
        p.start("xrandr", args);
        p.waitForFinished(10000);
        return p.readAllStandardOutput();
    }
    // Where the output shows on the screen; empty while it shows nothing.
    static QRect shown(const QString& output)
    {
        const auto m =
            QRegularExpression("^" + output + R"( connected (primary )?(\d+)x(\d+)\+(\d+)\+(\d+))",
                               QRegularExpression::MultilineOption)
                .match(xrandr());
        return m.hasMatch() ? QRect(m.captured(4).toInt(), m.captured(5).toInt(),
                                    m.captured(2).toInt(), m.captured(3).toInt())
                            : QRect();
    }
    static void plugSecond(bool in)
    {
        xrandr({"--addmode", "DUMMY1", "1280x1024"}); // the driver gives it no modes
        xrandr(in ? QStringList{"--output", "DUMMY1", "--mode", "1280x1024", "--right-of", "DUMMY0"}
                  : QStringList{"--output", "DUMMY1", "--off"});
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(probe.isOpen(), "run it under scripts/with-xorg-dummy");
        plugSecond(true);
        QCOMPARE(shown("DUMMY1"), kSecond);
    }

    void showScreensOutput()
    {
        JwInstance prog(presentingOptions({{"screen", "DUMMY1"}}));
        QVERIFY2(prog.start(), qPrintable(prog.errorString()));
        Controller c(prog.port());
        QVERIFY(c.connectToHost() && c.login("p1").contains(R"("ret":"0")"));
        QCOMPARE(c.request(packet("mode", "p1", {{"value", "show"}})),
                 e2e::envelope("2", "p1", "mode"));
        const auto window = [this] { return probe.geometry(probe.findWindow("Tovanel-演示模式")); };
        QTRY_COMPARE(window(), kSecond);
        const QJsonObject set =
            packet("resolution", "p1", {{"act", "set"}, {"width", "1024"}, {"height", "768"}});
        QCOMPARE(c.request(set), e2e::envelope("2", "p1", "resolution"));
        QTRY_COMPARE(shown("DUMMY1"), kSmaller);
        QCOMPARE(shown("DUMMY0"), kFirst);
        QTRY_COMPARE(window(), kSmaller);

        plugSecond(false);
        QTRY_COMPARE(window(), kFirst);
        QTRY_VERIFY(prog.stderrOutput().contains(R"("DUMMY1" is not connected: the windows use)"));
        plugSecond(true);
        QTRY_COMPARE(window(), kSecond);
        QTRY_VERIFY(prog.stderrOutput().contains(R"("DUMMY1" is connected: the windows move)"));

        QCOMPARE(c.request(set), e2e::envelope("2", "p1", "resolution"));
        QTRY_COMPARE(shown("DUMMY1"), kSmaller);
        QCOMPARE(prog.stop(), 0); // with the controller still there
        QCOMPARE(shown("DUMMY1"), kSecond);
    }
};

QTEST_GUILESS_MAIN(TestOutput)
#include "tst_output.moc"
