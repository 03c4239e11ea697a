// The program and its companion: the command line it starts the stand-in with,
// the code the stand-in accepts, the keep-alive that reaches the program, the
// restart after the companion dies, and its end when the program quits.

#include "e2eutil.h"
#include "jwinstance.h"

#include <QDir>
#include <QtTest>

#include <csignal>

class TestE2eCompanion : public QObject
{
    Q_OBJECT
private slots:
    void startedWithPortsAndCode_data();
    void startedWithPortsAndCode();
    void keepAliveReachesProgram();
    void restartedWhenKilled();
};

using namespace jwtest;
using namespace e2e;

namespace
{

struct Companion {
    qint64 pid = 0;
    QStringList args; // without argv[0]
};

// The stand-in process whose command line names msgPort (the program's port).
Companion findCompanion(quint16 msgPort)
{
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& p : pids) {
        bool ok = false;
        const qint64 pid = p.toLongLong(&ok);
        if (!ok)
            continue;
        QFile f(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (!f.open(QIODevice::ReadOnly))
            continue;
        QList<QByteArray> argv = f.readAll().split('\0');
        if (!argv.isEmpty() && argv.last().isEmpty())
            argv.removeLast();
        if (argv.isEmpty() || !argv.first().endsWith("/JWRCServer_x64"))
            continue;
        const int at = argv.indexOf("/msg_port");
        if (at < 0 || at + 1 >= argv.size() || argv.at(at + 1) != QByteArray::number(msgPort))
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (stat.open(QIODevice::ReadOnly) && stat.readAll().contains(") Z "))
            continue; // a zombie waiting for its parent is gone for our purpose
        Companion c{pid, {}};
        for (int i = 1; i < argv.size(); ++i)
            c.args << QString::fromUtf8(argv.at(i));
        return c;
    }
    return {};
}

Companion waitForCompanion(quint16 msgPort, qint64 notPid, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    do {
        const Companion c = findCompanion(msgPort);
        if (c.pid && c.pid != notPid)
            return c;
        QThread::msleep(50);
    } while (!deadline.hasExpired());
    return {};
}

QByteArray askCompanion(quint16 port, const QByteArray& line)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(3000))
        return "<no connection>";
    s.write(line);
    QByteArray got;
    while (!got.endsWith('\n') && s.waitForReadyRead(3000))
        got += s.readAll();
    return got;
}

} // namespace

void TestE2eCompanion::startedWithPortsAndCode_data()
{
    QTest::addColumn<bool>("debug");
    QTest::newRow("normal") << false;
    QTest::newRow("debug") << true;
}

void TestE2eCompanion::startedWithPortsAndCode()
{
    QFETCH(bool, debug);
    JwInstanceOptions o;
    if (debug)
        o.args << QStringLiteral("DeBuG");
    JwInstance prog(o);
    QVERIFY2(prog.start(), qPrintable(prog.errorString()));
    const quint16 port = prog.port();

    Controller c(port);
    QVERIFY(c.connectToHost());
    const QByteArray token = tokenOf(c.login("p", "P", "pw"));
    QCOMPARE(token.size(), 6);

    const Companion comp = waitForCompanion(port, 0, 5000);
    QVERIFY2(comp.pid, "no companion stand-in started");
    QStringList expected{"-app_mode",
                         "/port",
                         QString::number(port + 1),
                         "/auth",
                         QString::fromLatin1(token),
                         "/msg_port",
                         QString::number(port)};
    if (debug)
        expected << QStringLiteral("/logout");
    QCOMPARE(comp.args, expected);

    QTRY_VERIFY_WITH_TIMEOUT(isListening(port + 1), 5000);
    QCOMPARE(askCompanion(port + 1, "auth " + token + "\n"), QByteArray("ok\n"));
    QCOMPARE(askCompanion(port + 1, "auth 000000\n"), QByteArray("denied\n"));

    // Quitting ends the companion too.
    QCOMPARE(prog.stop(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(findCompanion(port).pid == 0, 5000);
}

// The stand-in reports its port every 5 s: a port set by hand is replaced by the
// companion's own at its next keep-alive.
void TestE2eCompanion::keepAliveReachesProgram()
{
    JwInstance prog;
    QVERIFY2(prog.start(), qPrintable(prog.errorString()));
    const quint16 port = prog.port();
    QVERIFY(waitForCompanion(port, 0, 5000).pid);

    Controller c(port);
    QVERIFY(c.connectToHost());
    QVERIFY(c.sendRaw(R"({"type":"rcserver.keepalive","id":"0","from":"x","port":"7777"})"));
    const QByteArray token = tokenOf(c.login("p", "P", "pw", "1"));
    QByteArray reply;
    QDeadlineTimer deadline(8000);
    do {
        QThread::msleep(250);
        reply = c.login("p", "P", "pw", "2");
    } while (!deadline.hasExpired() && reply.contains(R"("rc_port":"7777")"));
    QCOMPARE(reply, loginReply("2", "p", "P", port + 1, token));
}

void TestE2eCompanion::restartedWhenKilled()
{
    JwInstance prog;
    QVERIFY2(prog.start(), qPrintable(prog.errorString()));
    const quint16 port = prog.port();
    const Companion first = waitForCompanion(port, 0, 5000);
    QVERIFY(first.pid);
    ::kill(pid_t(first.pid), SIGKILL);
    const Companion second = waitForCompanion(port, first.pid, 5000);
    QVERIFY2(second.pid, "the companion was not started again");
    QCOMPARE(second.args, first.args);
    QTRY_VERIFY_WITH_TIMEOUT(isListening(port + 1), 5000);
    QCOMPARE(prog.stop(), 0);
}

QTEST_GUILESS_MAIN(TestE2eCompanion)
#include "tst_e2e_companion.moc"
