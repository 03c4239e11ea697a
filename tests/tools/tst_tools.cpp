// The companion stand-in's command line (under another name: a parallel suite's
// program kills left-over companions) and jwshowctl against a fake of the program.

#include "e2eutil.h"
#include "jwinstance.h"

#include <QProcess>
#include <QTcpServer>
#include <QtTest>

using e2e::j;

static const QString kCtl = QStringLiteral(JW_BIN_DIR "/jwshowctl");
static const QByteArray kGreeting = "jwshow-1.0.4.111-fakehost";

class TestTools : public QObject
{
    Q_OBJECT
    QTemporaryDir dir_;
    const QString standIn_ = dir_.filePath(QStringLiteral("standin-under-test"));

private slots:
    void initTestCase()
    {
        QVERIFY(QFile::copy(QStringLiteral(JW_BIN_DIR "/JWRCServer_x64"), standIn_));
    }
    void standInRejectsBadCommandLines_data()
    {
        QTest::addColumn<QStringList>("args");
        const QStringList good =
            QString("-app_mode /port 5556 /auth 612345 /msg_port 5555").split(' ');
        QTest::newRow("none") << QStringList();
        QTest::newRow("no mode") << QStringList(good.mid(1));
        QTest::newRow("order")
            << QString("-app_mode /auth 612345 /port 5556 /msg_port 5555").split(' ');
        QTest::newRow("port too large") << QStringList(good).replaceInStrings("5556", "70000");
        QTest::newRow("empty code") << QStringList(good).replaceInStrings("612345", "");
        QTest::newRow("missing msg_port value") << QStringList(good.mid(0, 6));
        QTest::newRow("unknown trailing argument") << QStringList(good + QStringList{"/debug"});
    }
    void standInRejectsBadCommandLines()
    {
        QFETCH(QStringList, args);
        QProcess p;
        p.start(standIn_, args);
        QVERIFY(p.waitForFinished(5000) && p.exitStatus() == QProcess::NormalExit &&
                p.exitCode() == 2);
        QVERIFY(p.readAllStandardError().startsWith("usage: ") &&
                p.readAllStandardOutput().isEmpty());
    }

    void ctlRefusedConnectionExitsTwo()
    {
        const QByteArray port = QByteArray::number(jwtest::freePort()); // nobody listens there
        QProcess p;
        p.start(kCtl, {"--port", port, "mode", "show"});
        QVERIFY(p.waitForFinished(10000) && p.readAllStandardOutput().isEmpty());
        QCOMPARE(p.exitCode(), 2);
        QVERIFY(p.readAllStandardError().contains("cannot connect to 127.0.0.1:" + port));
    }

    // A login, a JSON packet and a shortcut: the exact bytes sent; then the greeting,
    // each reply (all in one write, back to back) and a later report, one per line.
    void ctlSendsAndPrints()
    {
        QTcpServer program;
        QVERIFY(program.listen(QHostAddress::LocalHost, 0));
        QProcess p;
        p.start(kCtl, {"--port", QString::number(program.serverPort()), "--login",
                       "phone1,Phone One,secret", "--wait", "400",
                       j("{'type':'file.list','id':'9','from':'phone1'}"), "mode", "show"});
        QVERIFY(program.waitForNewConnection(5000));
        std::unique_ptr<QTcpSocket> c(program.nextPendingConnection());
        c->write(kGreeting);
        const QByteArray sent = j("{'from':'phone1','id':'1','ip':'127.0.0.1','name':'Phone "
                                  "One','pwd':'secret','type':'login'}"
                                  "{'from':'phone1','id':'9','type':'file.list'}"
                                  "{'from':'phone1','id':'2','type':'mode','value':'show'}");
        QByteArray got, out;
        QTRY_COMPARE((got += c->readAll()), sent);
        const QByteArray replies = j("{'n':'1'}{'n':'2'}{'n':'3'}");
        const QByteArray report = j("{'act':'status','type':'show.video.info','value':'on'}");
        c->write(replies); // the report comes once they are printed
        QTRY_VERIFY((out += p.readAllStandardOutput()).endsWith(j("{'n':'3'}\n")));
        c->write(report);
        c->waitForBytesWritten(1000);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 0);
        QCOMPARE(p.readAllStandardError(), QByteArray());
        QCOMPARE(out + p.readAllStandardOutput(), kGreeting + "\n" +
                                                      QByteArray(replies).replace("}{", "}\n{") +
                                                      "\n" + report + "\n");
    }
};

QTEST_GUILESS_MAIN(TestTools)
#include "tst_tools.moc"
