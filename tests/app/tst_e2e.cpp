// The built program as a process: the settings completed at first start, the
// debug log, the port fallback, single instance and the orderly end on SIGTERM
// in the middle of a flood; under X (no window manager) a copy started
// hidden in a tray comes up when a second starts, from the same data folder by any
// path, and without a tray it is not hidden at all.
#include "jwinstance.h"
#include "x11probe.h"

#include <QTcpServer>
#include <QtTest>
#include <atomic>
#include <csignal>
#include <thread>

using jwtest::JwInstance;
using jwtest::JwInstanceOptions;

namespace
{
QString iniValue(JwInstance& jw, const QString& key)
{
    return QSettings(jw.iniPath(), QSettings::IniFormat).value("config/" + key).toString();
}

QByteArray logOf(JwInstance& jw)
{
    QFile f(jw.logPath());
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(no log)");
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
        const QByteArray log = logOf(jw);
        QVERIFY2(QRegularExpression("^\\n>[^>\\n]+>Debug:---------Start--------\\n\\n>[^>\\n]+>"
                                    "Debug:app path=")
                         .match(QString::fromUtf8(log))
                         .hasMatch() &&
                     log.endsWith(">Debug:---------Exit--------\n"),
                 log.constData());
        const QByteArray err = jw.stderrOutput();
        QVERIFY(err.contains(">>打开日志成功") && err.contains(">>关闭日志"));
    }

    // In debug mode every packet is a line of the log window. After a few seconds
    // of a flood from phones that log in, draw and show and hide the window, lines
    // and window work wait for the GUI thread by the thousand: a SIGTERM still ends
    // the program at once, in order (its workers stopped before its windows go).
    void sigtermEndsAFloodedDebugRunAtOnce()
    {
        if (!x.isOpen())
            QSKIP("needs an X display");
        JwInstanceOptions o;
        o.args = QStringList{"debug"};
        o.useDisplay = true;
        o.withoutCompanion = true;
        JwInstance jw(o);
        QVERIFY2(jw.start(), qPrintable(jw.errorString()));
        std::atomic<bool> stop{false};
        // Each phone on an address of its own, reading every reply.
        auto flood = [&](int host) {
            const QByteArray from = "127.0.0." + QByteArray::number(host), id = "f" + from;
            QByteArray packets = "{\"type\":\"login\",\"from\":\"" + id + "\",\"pwd\":\"x\"}" +
                                 "{\"type\":\"whiteboard.start\",\"from\":\"" + id + "\"}";
            for (int i = 0; i < 20; ++i) // answered by the dispatcher alone
                packets += "{\"type\":\"file.list\",\"id\":\"" + QByteArray::number(i) +
                           "\",\"from\":\"" + id + "\"}";
            packets = (packets + "{\"type\":\"whiteboard.drawing\",\"from\":\"" + id +
                       "\",\"x\":5,\"y\":5}{\"type\":\"mode\",\"from\":\"f\",\"value\":\"show\"}"
                       "{\"type\":\"mode\",\"from\":\"f\",\"value\":\"remote\"}")
                          .repeated(50);
            jwtest::RawSocket s(jw.port(), from.constData());
            for (qint64 sent = 0; !stop && !s.closedByPeer(); QThread::usleep(200))
                sent = (sent + s.offer(packets.mid(int(sent)))) % packets.size();
        };
        std::vector<std::thread> phones;
        for (int host = 2; host < 5; ++host)
            phones.emplace_back(flood, host);
        QTest::qWait(4000);
        jw.process().terminate();
        const bool ended = jw.process().waitForFinished(5000);
        stop = true;
        for (std::thread& t : phones)
            t.join();
        QVERIFY2(ended, "still running 5 s after SIGTERM");
        QCOMPARE(jw.stop(), 0);
        const QByteArray log = logOf(jw);
        QVERIFY2(log.endsWith(">Debug:---------Exit--------\n"), log.right(200).constData());
    }

    void occupiedPortMovesElevenUp()
    {
        JwInstanceOptions o;
        o.port = jwtest::freePortWith({1, 11, 12});
        QTcpServer occupier;
        QVERIFY(o.port && occupier.listen(QHostAddress::Any, o.port));
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

    void secondStartShowsTheHiddenWindow_data()
    {
        QTest::addColumn<bool>("copiedElsewhere");
        QTest::addColumn<bool>("throughLink");
        QTest::newRow("same program") << false << false;
        QTest::newRow("copy in another folder") << true << false; // one data folder, one copy
        // A second copy beside the first would rewrite its settings.
        QTest::newRow("data folder through a link") << false << true;
    }
    void secondStartShowsTheHiddenWindow()
    {
        QFETCH(bool, copiedElsewhere);
        QFETCH(bool, throughLink);
        const QString trayer = QStandardPaths::findExecutable(QStringLiteral("trayer"));
        if (trayer.isEmpty() || !x.isOpen())
            QSKIP("needs an X display and trayer (a tray host)");
        // Only a tray keeps a window hidden.
        QProcess tray;
        tray.start(trayer, {"--edge", "top", "--align", "right", "--widthtype", "pixel", "--width",
                            "120", "--height", "32", "--SetDockType", "false"});
        auto stopTray = qScopeGuard([&tray] {
            tray.kill();
            tray.waitForFinished(3000);
        });
        QTRY_VERIFY_WITH_TIMEOUT(x.hasSystemTray(), 5000);
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
        QTemporaryDir elsewhere;
        if (throughLink) {
            const QString link = elsewhere.path() + "/data";
            QVERIFY(QFile::link(first.dataDir(), link));
            o.env.insert("JWSHOW_DATA_DIR", link);
        }
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

        // Neither lock outlives a copy that could not clean up. (Its orphaned
        // companion goes at once: a left-over is for the left-over case to find.)
        const qint64 companion = jwtest::findCompanion(first.port()).pid;
        first.process().kill();
        QVERIFY(first.process().waitForFinished(5000));
        if (companion)
            ::kill(pid_t(companion), SIGKILL);
        JwInstance next(sameDataFolder(first));
        QVERIFY2(next.start(), qPrintable(next.errorString()));
        QCOMPARE(next.stop(), 0);
    }

    // Without a tray nothing could bring a hidden window back but a second start:
    // it is shown despite runtray=1, and its close button cannot hide it (a bare X
    // server has nobody to minimise it either).
    void withoutATrayTheWindowIsShown()
    {
        if (!x.isOpen() || x.hasSystemTray())
            QSKIP("needs an X display without a tray");
        JwInstanceOptions o;
        o.useDisplay = true;
        o.config.insert("runtray", "1");
        JwInstance jw(o);
        QVERIFY2(jw.start(), qPrintable(jw.errorString()));
        QTRY_VERIFY_WITH_TIMEOUT(mainWindowShown(), 10000);
        QVERIFY(x.sendDeleteWindow(x.findWindow(QStringLiteral("Tovanel - 被控端"))));
        QTest::qWait(300); // a window hidden by mistake would be unmapped by now
        QVERIFY(mainWindowShown());
        QCOMPARE(jw.stop(), 0);
    }
};

QTEST_GUILESS_MAIN(TestE2e)
#include "tst_e2e.moc"
