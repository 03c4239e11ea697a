// A Wayland session, as the program learns it from its environment: it says once
// what will not work, refuses a display mode it cannot set, and notes the first
// pointer move and key.
#include "e2eutil.h"
#include "jwinstance.h"

#include <QtTest>

using namespace jwtest;

class TestWayland : public QObject
{
    Q_OBJECT
private slots:
    void sessionIsDetected_data()
    {
        QTest::addColumn<QString>("variable"); // NAME=value
        QTest::addColumn<bool>("wayland");
        QTest::newRow("session type") << "XDG_SESSION_TYPE=wayland" << true;
        QTest::newRow("compositor socket") << "WAYLAND_DISPLAY=wayland-0" << true;
        QTest::newRow("X11 session") << "XDG_SESSION_TYPE=x11" << false;
    }
    void sessionIsDetected()
    {
        QFETCH(QString, variable);
        QFETCH(bool, wayland);
        JwInstanceOptions o;
        o.unsetEnv = QStringList{"XDG_SESSION_TYPE", "WAYLAND_DISPLAY"};
        o.env.insert(variable.section('=', 0, 0), variable.section('=', 1));
        JwInstance prog(o);
        QVERIFY2(prog.start(), qPrintable(prog.errorString()));
        Controller c(prog.port());
        QVERIFY(c.connectToHost() && c.login("p1").contains(R"("ret":"0")"));
        const QJsonObject set{{"act", "set"}, {"width", "800"}, {"height", "600"}};
        QCOMPARE(c.request(packet("resolution", "p1", set)),
                 wayland ? e2e::envelope("2", "p1", "resolution", "-1",
                                         "not possible in a Wayland session")
                         : e2e::envelope("2", "p1", "resolution"));
        for (const char* id : {"3", "4"}) { // each noted once
            QVERIFY(c.send({{"type", "mouse.move"}, {"from", "p1"}, {"x", 1}, {"y", 1}}));
            QVERIFY(!c.request(packet("key", "p1", {{"value", "next"}}, id)).isEmpty());
        }
        QCOMPARE(prog.stop(), 0);
        const QByteArray err = prog.stderrOutput();
        for (const char* line : {"Wayland session: the pointer, slide keys and display modes",
                                 "mouse.move: in a Wayland session", "key: in a Wayland session"})
            QVERIFY2(err.count(line) == (wayland ? 1 : 0), line);
    }
};

QTEST_GUILESS_MAIN(TestWayland)
#include "tst_wayland.moc"
