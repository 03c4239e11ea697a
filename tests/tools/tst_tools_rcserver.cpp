// The companion stand-in: its command line, its port and code check, and the
// keep-alive it sends to a server standing in for the program.

#include "jwinstance.h"

#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

using namespace jwtest;

namespace
{

const QString kStandIn = QStringLiteral(JW_BIN_DIR "/JWRCServer_x64");

QByteArray keepAlive(quint16 port)
{
    return QByteArray(R"({"type":"rcserver.keepalive","id":"0","from":"jwrcserver","port":")") +
           QByteArray::number(port) + "\"}";
}

// Reads from s until it holds want bytes (or more) or timeoutMs passes.
QByteArray readAtLeast(QTcpSocket* s, int want, int timeoutMs)
{
    QByteArray got;
    QDeadlineTimer deadline(timeoutMs);
    while (got.size() < want && !deadline.hasExpired()) {
        if (s->bytesAvailable() || s->waitForReadyRead(int(deadline.remainingTime())))
            got += s->readAll();
        else if (s->state() != QAbstractSocket::ConnectedState)
            break;
    }
    return got;
}

// The stand-in as a child process, terminated at the end of the test.
struct StandIn {
    QProcess p;
    explicit StandIn(const QStringList& args)
    {
        p.setProcessChannelMode(QProcess::SeparateChannels);
        p.start(kStandIn, args);
    }
    ~StandIn()
    {
        if (p.state() != QProcess::NotRunning) {
            p.kill();
            p.waitForFinished(3000);
        }
    }
};

} // namespace

class TestRcServer : public QObject
{
    Q_OBJECT
private slots:
    void rejectsBadCommandLines_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("none") << QStringList();
        QTest::newRow("no mode") << QStringList{"/port",  "5556",      "/auth",
                                                "612345", "/msg_port", "5555"};
        QTest::newRow("order") << QStringList{"-app_mode", "/auth",     "612345", "/port",
                                              "5556",      "/msg_port", "5555"};
        QTest::newRow("port not a number")
            << QStringList{"-app_mode", "/port", "abc", "/auth", "612345", "/msg_port", "5555"};
        QTest::newRow("port too large")
            << QStringList{"-app_mode", "/port", "70000", "/auth", "612345", "/msg_port", "5555"};
        QTest::newRow("negative msg_port")
            << QStringList{"-app_mode", "/port", "5556", "/auth", "612345", "/msg_port", "-1"};
        QTest::newRow("empty code")
            << QStringList{"-app_mode", "/port", "5556", "/auth", "", "/msg_port", "5555"};
        QTest::newRow("missing msg_port value")
            << QStringList{"-app_mode", "/port", "5556", "/auth", "612345", "/msg_port"};
        QTest::newRow("unknown trailing argument") << QStringList{
            "-app_mode", "/port", "5556", "/auth", "612345", "/msg_port", "5555", "/debug"};
        QTest::newRow("logout twice")
            << QStringList{"-app_mode", "/port", "5556",    "/auth",  "612345",
                           "/msg_port", "5555",  "/logout", "/logout"};
    }
    void rejectsBadCommandLines()
    {
        QFETCH(QStringList, args);
        QProcess p;
        p.start(kStandIn, args);
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 2);
        QVERIFY2(p.readAllStandardError().startsWith(
                     "usage: JWRCServer_x64 -app_mode /port P /auth CODE /msg_port M [/logout]\n"),
                 "usage text on stderr");
        QCOMPARE(p.readAllStandardOutput(), QByteArray());
    }

    // The keep-alive reaches the program at once after the greeting, again every
    // 5 s on the same connection, and after a dropped connection on a new one.
    void keepAliveAndReconnect()
    {
        QTcpServer program;
        QVERIFY(program.listen(QHostAddress::LocalHost, 0));
        const quint16 port = freePort();
        QVERIFY(port);
        StandIn s({"-app_mode", "/port", QString::number(port), "/auth", "612345", "/msg_port",
                   QString::number(program.serverPort())});
        QVERIFY(s.p.waitForStarted(5000));

        QVERIFY(program.waitForNewConnection(5000));
        std::unique_ptr<QTcpSocket> c(program.nextPendingConnection());
        c->write("jwshow-1.0.4.111-testhost");
        QVERIFY(c->waitForBytesWritten(2000));
        const QByteArray expected = keepAlive(port);
        QCOMPARE(readAtLeast(c.get(), expected.size(), 3000), expected);
        // the next one, 5 s later, on the same connection
        QCOMPARE(readAtLeast(c.get(), expected.size(), 8000), expected);

        c->abort(); // the program went away
        c.reset();
        QVERIFY(program.waitForNewConnection(8000));
        c.reset(program.nextPendingConnection());
        c->write("jwshow-1.0.4.111-testhost");
        QCOMPARE(readAtLeast(c.get(), expected.size(), 3000), expected);

        // Reconnects while nobody listens, and reaches a program that comes back.
        const quint16 programPort = program.serverPort();
        c->abort();
        c.reset();
        program.close();
        QTest::qWait(1500);
        QVERIFY(program.listen(QHostAddress::LocalHost, programPort));
        QVERIFY(program.waitForNewConnection(8000));
        c.reset(program.nextPendingConnection());
        c->write("jwshow-1.0.4.111-testhost");
        QCOMPARE(readAtLeast(c.get(), expected.size(), 3000), expected);
        QCOMPARE(s.p.state(), QProcess::Running);
    }

    void checksTheCode()
    {
        const quint16 port = freePort();
        const quint16 nobody = freePort();
        StandIn s({"-app_mode", "/port", QString::number(port), "/auth", "765432", "/msg_port",
                   QString::number(nobody), "/logout"});
        QVERIFY(s.p.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(isListening(port), 5000);

        struct Case {
            QByteArray line, answer;
            bool closes;
        };
        const QList<Case> cases = {
            {"auth 765432\n", "ok\n", false},    {"auth 765432\r\n", "ok\n", false},
            {"auth 765433\n", "denied\n", true}, {"auth  765432\n", "denied\n", true},
            {"hello\n", "denied\n", true},       {"\n", "denied\n", true},
        };
        for (const Case& k : cases) {
            QTcpSocket c;
            c.connectToHost(QHostAddress::LocalHost, port);
            QVERIFY(c.waitForConnected(3000));
            c.write(k.line);
            QCOMPARE(readAtLeast(&c, k.answer.size(), 3000), k.answer);
            if (k.closes) {
                QVERIFY(c.state() == QAbstractSocket::UnconnectedState ||
                        c.waitForDisconnected(3000));
            } else {
                QVERIFY(!c.waitForDisconnected(300));
            }
        }
        // A line split over two writes is still one line.
        QTcpSocket c;
        c.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(c.waitForConnected(3000));
        c.write("auth 76");
        QVERIFY(c.waitForBytesWritten(1000));
        QVERIFY(!c.waitForReadyRead(200));
        c.write("5432\n");
        QCOMPARE(readAtLeast(&c, 3, 3000), QByteArray("ok\n"));
    }

    void exitsZeroOnSigterm()
    {
        StandIn s({"-app_mode", "/port", QString::number(freePort()), "/auth", "612345",
                   "/msg_port", QString::number(freePort())});
        QVERIFY(s.p.waitForStarted(5000));
        QTest::qWait(300);
        s.p.terminate();
        QVERIFY(s.p.waitForFinished(5000));
        QCOMPARE(s.p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(s.p.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestRcServer)
#include "tst_tools_rcserver.moc"
