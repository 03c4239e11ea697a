// The built program as a process: settings completed at first start, the debug
// log, the port fallback, single instance and the orderly end on signals.
#include "jwinstance.h"

#include <QRegularExpression>
#include <QTcpServer>
#include <QtTest>

#include <csignal>

using jwtest::JwInstance;
using jwtest::JwInstanceOptions;

namespace
{

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QString iniValue(const QString& ini, const QString& key)
{
    QSettings s(ini, QSettings::IniFormat);
    return s.value("config/" + key).toString();
}

bool waitForExit(JwInstance& jw, int ms)
{
    return jw.process().state() == QProcess::NotRunning || jw.process().waitForFinished(ms);
}

} // namespace

class TestE2e : public QObject
{
    Q_OBJECT
private slots:
    void firstStartWritesTheDefaults()
    {
        JwInstanceOptions o;
        o.config.insert("unrelated", "kept");
        JwInstance jw(o);
        QVERIFY2(jw.start(), qPrintable(jw.errorString()));
        // A quit request is served only after the set-up, so once the program has
        // ended the file holds everything the start wrote.
        QCOMPARE(jw.stop(), 0);
        QCOMPARE(iniValue(jw.iniPath(), "port"), QString::number(jw.port()));
        QCOMPARE(iniValue(jw.iniPath(), "runtray"), QStringLiteral("0"));
        QCOMPARE(iniValue(jw.iniPath(), "autofull"), QStringLiteral("1"));
        QCOMPARE(iniValue(jw.iniPath(), "unrelated"), QStringLiteral("kept"));
        // No log outside debug mode.
        QVERIFY(!QFile::exists(jw.logPath()));
    }

    void otherValuesAreLeftAlone()
    {
        JwInstanceOptions o;
        o.config.insert("runtray", "2");
        o.config.insert("autofull", "yes");
        o.args = QStringList{"-debug", "debug"}; // only the first argument counts
        JwInstance jw(o);
        QVERIFY2(jw.start(), qPrintable(jw.errorString()));
        QCOMPARE(jw.stop(), 0);
        QCOMPARE(iniValue(jw.iniPath(), "runtray"), QStringLiteral("2"));
        QCOMPARE(iniValue(jw.iniPath(), "autofull"), QStringLiteral("yes"));
        QVERIFY(!QFile::exists(jw.logPath()));
    }

    void debugLogRecordsStartAndExit_data()
    {
        QTest::addColumn<QString>("arg");
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("DEBUG, SIGTERM") << "DEBUG" << int(SIGTERM);
        QTest::newRow("dEbUg, SIGINT") << "dEbUg" << int(SIGINT);
    }

    void debugLogRecordsStartAndExit()
    {
        QFETCH(QString, arg);
        QFETCH(int, signalNumber);
        JwInstanceOptions o;
        o.args = QStringList{arg};
        JwInstance jw(o);
        QDir().mkpath(jw.dataDir());
        {
            QFile old(jw.logPath());
            QVERIFY(old.open(QIODevice::WriteOnly));
            old.write("from an earlier run\n");
        }
        QVERIFY2(jw.start(), qPrintable(jw.errorString()));
        ::kill(pid_t(jw.pid()), signalNumber);
        QVERIFY(waitForExit(jw, 8000));
        QCOMPARE(jw.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(jw.process().exitCode(), 0);

        const QString log = QString::fromUtf8(readFile(jw.logPath()));
        QVERIFY2(log.startsWith("from an earlier run\n\n>"), qPrintable(log.left(80)));
        const QString body = log.mid(int(strlen("from an earlier run\n")));
        const QRegularExpression record(QStringLiteral(
            "\\n>\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{2,4}>(Debug|Error|W[ap]mrning):"
            "([^\\n]*)\\n"));
        QStringList messages;
        int pos = 0;
        while (pos < body.size()) {
            const auto m = record.match(body, pos, QRegularExpression::NormalMatch,
                                        QRegularExpression::AnchoredMatchOption);
            QVERIFY2(m.hasMatch(), qPrintable("bad record: " + body.mid(pos, 100)));
            messages << m.captured(2);
            pos = m.capturedEnd();
        }
        QVERIFY(messages.size() >= 3);
        QCOMPARE(messages.first(), QStringLiteral("---------Start--------"));
        QVERIFY(messages.at(1).startsWith("app path="));
        QCOMPARE(messages.last(), QStringLiteral("---------Exit--------"));
        QVERIFY(messages.contains("init set"));

        const QByteArray err = jw.stderrOutput();
        QVERIFY(err.contains(">>打开日志成功"));
        QVERIFY(err.contains(">>关闭日志"));
    }

    void occupiedPortMovesElevenUp()
    {
        const quint16 port = jwtest::freePortWith({1, 11, 12});
        QVERIFY(port);
        QTcpServer occupier;
        QVERIFY(occupier.listen(QHostAddress::Any, port));

        JwInstanceOptions o;
        o.port = port;
        o.waitForPort = false;
        JwInstance jw(o);
        QVERIFY2(jw.start(), qPrintable(jw.errorString()));
        // The announcement is a modal box nobody can click on the offscreen
        // platform; the server listens and the file is written before it shows.
        QTRY_VERIFY_WITH_TIMEOUT(jwtest::isListening(port + 11), 15000);
        QTRY_COMPARE_WITH_TIMEOUT(iniValue(jw.iniPath(), "port"), QString::number(port + 11), 5000);
        jwtest::Controller c(port + 11);
        QVERIFY(c.connectToHost());
        QCOMPARE(c.greeting(), jwtest::expectedGreeting());
        // SIGTERM while the box is up still ends the program in order.
        QCOMPARE(jw.stop(), 0);
        QVERIFY(!jw.killed());
    }

    void secondCopyLeavesAndTheFirstStays()
    {
        JwInstance first;
        QVERIFY2(first.start(), qPrintable(first.errorString()));

        JwInstanceOptions o;
        o.env.insert("JWSHOW_DATA_DIR", first.dataDir());
        o.waitForPort = false;
        o.writeIni = false;
        JwInstance second(o);
        QVERIFY2(second.start(), qPrintable(second.errorString()));
        QVERIFY(waitForExit(second, 10000));
        QCOMPARE(second.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.process().exitCode(), 0);
        QVERIFY(second.stderrOutput().contains("already runing"));

        QVERIFY(first.isRunning());
        jwtest::Controller c(first.port());
        QVERIFY(c.connectToHost());

        // Another data folder is another instance: both run.
        JwInstance other;
        QVERIFY2(other.start(), qPrintable(other.errorString()));
        QCOMPARE(other.stop(), 0);
        QCOMPARE(first.stop(), 0);
    }

    void killedCopyDoesNotBlockTheNextStart()
    {
        JwInstance first;
        QVERIFY2(first.start(), qPrintable(first.errorString()));
        first.process().kill();
        QVERIFY(first.process().waitForFinished(5000));

        JwInstanceOptions o;
        o.env.insert("JWSHOW_DATA_DIR", first.dataDir());
        o.port = first.port();
        o.writeIni = false;
        JwInstance next(o);
        QVERIFY2(next.start(), qPrintable(next.errorString()));
        QCOMPARE(next.stop(), 0);
    }
};

QTEST_GUILESS_MAIN(TestE2e)
#include "tst_e2e.moc"
