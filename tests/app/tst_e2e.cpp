// The built program as a process: the settings completed at first start, the
// debug log, the port fallback, single instance and the orderly end on SIGTERM;
// under X (no window manager) a copy started hidden comes up when a second starts.
#include "jwinstance.h"
#include "x11probe.h"

#include <QTcpServer>
#include <QtTest>

using jwtest::JwInstance;
using jwtest::JwInstanceOptions;

namespace
{
QString iniValue(JwInstance& jw, const QString& key)
{
    return QSettings(jw.iniPath(), QSettings::IniFormat).value("config/" + key).toString();
}

JwInstanceOptions sameDataFolder(const JwInstance& first)
{
    JwInstanceOptions o;
    o.env.insert("JWSHOW_DATA_DIR", first.dataDir());
    o.port = first.port();
    o.writeIni = false;
    return o;
}
} // namespace

class TestE2e : public QObject
{
    Q_OBJECT
    X11Probe x;
    bool mainWindowShown() const
    {
        const unsigned long id = x.findWindow(QStringLiteral("Tovanel - 被控端"));
        return id && x.isViewable(id);
    }

private slots:
    void firstStartWritesTheDefaultsAndTheDebugLog_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("logged");
        QTest::newRow("-debug debug") << QStringList{"-debug", "debug"} << false; // first only
        QTest::newRow("debug") << QStringList{"debug"} << true;
        QTest::newRow("dEbUg") << QStringList{"dEbUg"} << true;
    }
    void firstStartWritesTheDefaultsAndTheDebugLog()
    {
        QFETCH(QStringList, args);
        QFETCH(bool, logged);
        JwInstanceOptions o;
        o.args = args;
        JwInstance jw(o);
        QVERIFY2(jw.start(), qPrintable(jw.errorString()));
        // A quit request (SIGTERM) is served only after the set-up, so once the
        // program has ended the files hold everything the start wrote.
        QCOMPARE(jw.stop(), 0);
        QCOMPARE(iniValue(jw, "port"), QString::number(jw.port()));
        QCOMPARE(iniValue(jw, "runtray"), QStringLiteral("0"));
        QCOMPARE(iniValue(jw, "autofull"), QStringLiteral("1"));
        QCOMPARE(QFile::exists(jw.logPath()), logged);
        if (!logged)
            return;
        QFile file(jw.logPath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString log = QString::fromUtf8(file.readAll());
        const QRegularExpression record(QStringLiteral(
            "\\G\\n>\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{2,4}>(Debug|Error|W[ap]mrning):"
            "([^\\n]*)\\n"));
        QStringList messages;
        for (int pos = 0; pos < log.size();) {
            const QRegularExpressionMatch m = record.match(log, pos);
            QVERIFY2(m.hasMatch(), qPrintable("bad record: " + log.mid(pos, 100)));
            messages << m.captured(2);
            pos = m.capturedEnd();
        }
        QVERIFY(messages.size() >= 3);
        QCOMPARE(messages.first(), QStringLiteral("---------Start--------"));
        QVERIFY(messages.at(1).startsWith("app path="));
        QCOMPARE(messages.last(), QStringLiteral("---------Exit--------"));
        const QByteArray err = jw.stderrOutput();
        QVERIFY(err.contains(">>打开日志成功") && err.contains(">>关闭日志"));
    }

    void occupiedPortMovesElevenUp()
    {
        JwInstanceOptions o;
        o.port = jwtest::freePortWith({1, 11, 12});
        QVERIFY(o.port);
        QTcpServer occupier;
        QVERIFY(occupier.listen(QHostAddress::Any, o.port));
        o.waitForPort = false;
        JwInstance jw(o);
        QVERIFY2(jw.start(), qPrintable(jw.errorString()));
        // The announcement is a modal box nobody can click on the offscreen
        // platform; the server listens and the file is written before it shows.
        QTRY_VERIFY_WITH_TIMEOUT(jwtest::isListening(o.port + 11), 15000);
        QTRY_COMPARE_WITH_TIMEOUT(iniValue(jw, "port"), QString::number(o.port + 11), 5000);
        // Controllers are answered while the box waits for a click.
        jwtest::Controller c(o.port + 11);
        QVERIFY(c.connectToHost() && c.login("early").contains("\"ret\":\"0\""));
        QCOMPARE(jw.stop(), 0); // SIGTERM while the box is up still ends in order
    }

    void secondCopyLeavesAndAKilledCopyLeavesNoLock()
    {
        JwInstance first;
        QVERIFY2(first.start(), qPrintable(first.errorString()));
        JwInstanceOptions o = sameDataFolder(first);
        o.waitForPort = false;
        JwInstance second(o);
        QVERIFY2(second.start(), qPrintable(second.errorString()));
        QVERIFY(second.process().waitForFinished(10000));
        QCOMPARE(second.stop(), 0); // already ended: its own exit code
        QVERIFY(first.isRunning());
        QVERIFY(jwtest::Controller(first.port()).connectToHost());

        // Neither lock outlives a copy that could not clean up.
        first.process().kill();
        QVERIFY(first.process().waitForFinished(5000));
        JwInstance next(sameDataFolder(first));
        QVERIFY2(next.start(), qPrintable(next.errorString()));
        QCOMPARE(next.stop(), 0);
    }

    void secondStartShowsTheHiddenWindow_data()
    {
        QTest::addColumn<bool>("copiedElsewhere");
        QTest::newRow("same program") << false;
        QTest::newRow("copy in another folder") << true; // one data folder, one copy
    }
    void secondStartShowsTheHiddenWindow()
    {
        QFETCH(bool, copiedElsewhere);
        if (!x.isOpen())
            QSKIP("needs an X display");
        JwInstanceOptions o;
        o.useDisplay = true;
        o.config.insert("runtray", "1");
        JwInstance first(o);
        QVERIFY2(first.start(), qPrintable(first.errorString()));
        QTest::qWait(300); // a window shown by mistake would be mapped by now
        QVERIFY(!mainWindowShown());

        o = sameDataFolder(first);
        o.useDisplay = true;
        o.waitForPort = false;
        o.withoutCompanion = copiedElsewhere; // runs a copy of the program in its own folder
        JwInstance second(o);
        QVERIFY2(second.start(), qPrintable(second.errorString()));
        // Found at once: no waiting for an answer that never comes.
        QVERIFY(second.process().waitForFinished(2000));
        QCOMPARE(second.stop(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(mainWindowShown(), 10000);

        // The close button only hides it; the program goes on serving.
        QVERIFY(x.sendDeleteWindow(x.findWindow(QStringLiteral("Tovanel - 被控端"))));
        QTRY_VERIFY_WITH_TIMEOUT(!mainWindowShown(), 10000);
        QVERIFY(jwtest::Controller(first.port()).connectToHost());
        QCOMPARE(first.stop(), 0);
    }
};

QTEST_GUILESS_MAIN(TestE2e)
#include "tst_e2e.moc"
