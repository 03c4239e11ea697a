// The program on its host: the companion it starts (command line, code, restart,
// the left-over one killed at start, its end at quit) and the tray icon in a real
// tray (a click brings the hidden window back, its menu quits in order).

#include "e2eutil.h"
#include "jwinstance.h"
#include "x11probe.h"

#include <QtTest>

#include <X11/keysym.h>
#include <csignal>

using namespace jwtest;
using namespace e2e;

namespace
{
QByteArray askCompanion(quint16 port, const QByteArray& line)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    QByteArray got;
    if (s.waitForConnected(3000) && s.write(line) == line.size())
        while (!got.endsWith('\n') && s.waitForReadyRead(3000))
            got += s.readAll();
    return got;
}
QStringList arguments(quint16 port, const QByteArray& code)
{
    return {"-app_mode",
            "/port",
            QString::number(port + 1),
            "/auth",
            QString::fromLatin1(code),
            "/msg_port",
            QString::number(port)};
}
} // namespace

class TestE2eCompanion : public QObject
{
    Q_OBJECT
private slots:
    // Started with the ports and this start's code; killed from outside, back at
    // once with the same command line, and again after a second kill right away.
    // It reports its port every 5 s: a port set by hand is replaced by the
    // companion's own. Quitting ends it.
    void lifeCycle()
    {
        JwInstance prog;
        QVERIFY2(prog.start(), qPrintable(prog.errorString()));
        const quint16 port = prog.port();
        Controller c(port);
        QVERIFY(c.connectToHost());
        const QByteArray token = tokenOf(c.login("p", "P", "pw"));
        QCOMPARE(token.size(), 6);
        Companion last = findCompanion(port, 5000);
        QCOMPARE(last.args, arguments(port, token));
        QTRY_VERIFY_WITH_TIMEOUT(isListening(port + 1), 5000);
        QCOMPARE(askCompanion(port + 1, "auth " + token + "\n"), QByteArray("ok\n"));
        QCOMPARE(askCompanion(port + 1, "auth 000000\n"), QByteArray("denied\n"));

        for (int round = 0; round < 2; ++round) {
            ::kill(pid_t(last.pid), SIGKILL);
            const Companion next = findCompanion(port, 1000, last.pid);
            QVERIFY2(next.pid, "the companion was not started again within a second");
            QCOMPARE(next.args, last.args);
            last = next;
        }
        QVERIFY(c.sendRaw("{\"type\":\"rcserver.keepalive\",\"from\":\"x\",\"port\":\"7777\"}"));
        QTRY_COMPARE_WITH_TIMEOUT(c.login("p", "P", "pw", "2"),
                                  loginReply("2", "p", "P", port + 1, token), 8000);
        QCOMPARE(prog.stop(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(findCompanion(port).pid == 0, 5000);
    }

    // A companion nobody of ours started (an earlier run's) is killed at start; the
    // companions of other running copies are not left over and stay.
    void leftOverKilledAtStart()
    {
        JwInstance other;
        QVERIFY2(other.start(), qPrintable(other.errorString()));
        const Companion others = findCompanion(other.port(), 5000);
        QVERIFY(others.pid);
        const quint16 stalePort = freePortWith({1});
        QProcess stale;
        stale.start(QStringLiteral(JW_BIN_DIR "/JWRCServer_x64"), arguments(stalePort, "123456"));
        QVERIFY(stale.waitForStarted(3000));
        JwInstance prog;
        QVERIFY2(prog.start(), qPrintable(prog.errorString()));
        QVERIFY2(stale.waitForFinished(5000), "the left-over companion still runs");
        QCOMPARE(stale.exitStatus(), QProcess::CrashExit); // killed, not asked to end
        QVERIFY(findCompanion(prog.port(), 5000).pid);
        QCOMPARE(findCompanion(other.port()).pid, others.pid);
    }

    // In debug mode the companion is told to log out too. In a real tray: closing
    // the main window hides it, a middle click on the icon does nothing, a left
    // click brings the window back, and the menu's last entry quits: exit code 0,
    // the companion gone, the log closed with its Exit record.
    void debugRunInATray()
    {
        X11Probe x;
        if (!x.isOpen())
            QSKIP("needs an X server");
        QProcess tray;
        tray.start(QStandardPaths::findExecutable("trayer"),
                   {"--edge", "top", "--align", "right", "--widthtype", "pixel", "--width", "120",
                    "--height", "32", "--SetDockType", "false"});
        auto stopTray = qScopeGuard([&tray] { tray.kill(), tray.waitForFinished(3000); });
        JwInstanceOptions o;
        o.useDisplay = true;
        o.args << QStringLiteral("DeBuG");
        o.config = {{"runtray", "0"}};
        JwInstance prog(o);
        QVERIFY2(prog.start(), qPrintable(prog.errorString()));
        const quint16 port = prog.port();
        Controller c(port);
        QVERIFY(c.connectToHost());
        QCOMPARE(findCompanion(port, 5000).args, arguments(port, tokenOf(c.login("p")))
                                                     << QStringLiteral("/logout"));
        if (!tray.waitForStarted(3000))
            QSKIP("needs trayer (a tray host)");

        unsigned long icon = 0;
        QTRY_VERIFY_WITH_TIMEOUT(
            (icon = x.findDescendant(x.findDescendant(x.rootWindow(), "panel"), "jwshow")) != 0,
            5000);
        QTRY_VERIFY_WITH_TIMEOUT(x.isViewable(icon), 5000);
        const QPoint iconCentre = x.geometry(icon).center();
        auto shown = [&x] {
            return x.isViewable(x.findWindow(QStringLiteral("Tovanel - 被控端")));
        };
        QTRY_VERIFY_WITH_TIMEOUT(shown(), 5000);
        QVERIFY(x.sendDeleteWindow(x.findWindow(QStringLiteral("Tovanel - 被控端"))));
        QTRY_VERIFY_WITH_TIMEOUT(!shown(), 5000);
        QVERIFY(prog.isRunning() && isListening(port));
        QVERIFY(x.click(iconCentre, 2));
        QTest::qWait(500);
        QVERIFY(!shown());
        QVERIFY(x.click(iconCentre, 1));
        QTRY_VERIFY_WITH_TIMEOUT(shown(), 5000);
        // The menu opens at the icon; its last entry is the quit.
        QVERIFY(x.click(iconCentre, 3));
        QTest::qWait(500);
        QVERIFY(x.key(XK_Up) && x.key(XK_Return));
        QVERIFY2(prog.process().waitForFinished(8000), "the quit entry did not end the program");
        QCOMPARE(prog.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(prog.process().exitCode(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(findCompanion(port).pid, qint64(0), 3000);
        QFile log(prog.logPath());
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.readAll().trimmed().endsWith("---------Exit--------"));
    }
};

QTEST_MAIN(TestE2eCompanion)
#include "tst_e2e_companion.moc"
