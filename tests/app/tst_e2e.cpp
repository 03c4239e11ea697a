// The built program as a process: first start, debug log, port fallback, single
// instance, SIGTERM under a flood, the companion it starts, and the tray under X.
#include "e2eutil.h"
#include "jwinstance.h"
#include "x11probe.h"

#include <QTcpServer>
#include <QtTest>
#include <X11/keysym.h>
#include <atomic>
#include <csignal>
#include <thread>

using namespace jwtest;

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

QByteArray askCompanion(quint16 port, const QByteArray& line) // its answer, written at once
{
    RawSocket s(port);
    return s.send(line) ? s.read(3, 3000) : QByteArray();
}
QStringList arguments(quint16 port, const QByteArray& code)
{
    return QStringLiteral("-app_mode /port %1 /auth %2 /msg_port %3")
        .arg(QString::number(port + 1), QString::fromLatin1(code), QString::number(port))
        .split(' ');
}
} // namespace

class TestE2e : public QObject
{
    Q_OBJECT
    X11Probe x;
    QProcess tray_; // a tray host in the top right corner
    bool hasTray_ = false;
    bool mainWindowShown() const
    {
        const unsigned long id = x.findWindow(QStringLiteral("Tovanel - 被控端"));
        return id && x.isViewable(id);
    }

private slots:
    void initTestCase()
    {
        tray_.start(QStandardPaths::findExecutable(QStringLiteral("trayer")),
                    {"--edge", "top", "--align", "right", "--widthtype", "pixel", "--width", "120",
                     "--height", "32", "--SetDockType", "false"});
        hasTray_ = x.isOpen() && tray_.waitForStarted(3000) &&
                   QTest::qWaitFor([this] { return x.hasSystemTray(); }, 5000);
    }
    void cleanupTestCase() { tray_.kill(), tray_.waitForFinished(3000); }

    // The companion: started with the ports and this start's code, back at once after each
    // kill, left alone by another copy's start, its reported port replacing one set by hand,
    // ended by the quit. Only the first argument asks for debug mode; settings completed.
    void lifeCycle()
    {
        JwInstanceOptions o;
        o.args = QStringList{"-debug", "debug"};
        JwInstance prog(o);
        QVERIFY2(prog.start(), qPrintable(prog.errorString()));
        const quint16 port = prog.port();
        Controller c(port);
        QVERIFY(c.connectToHost());
        const QByteArray token = e2e::tokenOf(c.login("p", "P", "pw"));
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
        // Another start kills every earlier run's left-over companion, never a running copy's.
        QProcess stale[2];
        for (QProcess& p : stale) {
            p.start(QStringLiteral(JW_BIN_DIR "/JWRCServer_x64"),
                    arguments(freePortWith({1}), "123456"));
            QVERIFY(p.waitForStarted(3000));
        }
        JwInstance later;
        QVERIFY2(later.start(), qPrintable(later.errorString()));
        for (QProcess& p : stale) {
            QVERIFY2(p.waitForFinished(5000), "a left-over companion still runs");
            QCOMPARE(p.exitStatus(), QProcess::CrashExit); // killed, not asked to end
        }
        QVERIFY(findCompanion(later.port(), 5000).pid);
        QCOMPARE(findCompanion(port).pid, last.pid);
        QVERIFY(c.sendRaw("{\"type\":\"rcserver.keepalive\",\"from\":\"x\",\"port\":\"7777\"}"));
        QTRY_COMPARE_WITH_TIMEOUT(c.login("p", "P", "pw", "2"),
                                  e2e::loginReply("2", "p", "P", port + 1, token), 8000);
        QCOMPARE(prog.stop(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(findCompanion(port).pid == 0, 5000);
        QCOMPARE(iniValue(prog, "runtray") + iniValue(prog, "autofull"), QStringLiteral("01"));
        QVERIFY(!QFile::exists(prog.logPath()));
    }

    // A debug run flooded with GUI work by the thousand ends at once and in order on SIGTERM.
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
            const QByteArray from = "127.0.0." + QByteArray::number(host);
            const QByteArray login = "{'type':'login','from':'@','pwd':'x'}"
                                     "{'type':'whiteboard.start','from':'@'}";
            const QByteArray list = "{'type':'file.list','id':'1','from':'@'}"; // dispatcher's
            const QByteArray gui = "{'type':'whiteboard.drawing','from':'@','x':5,'y':5}"
                                   "{'type':'mode','from':'f','value':'show'}"
                                   "{'type':'mode','from':'f','value':'remote'}";
            const QByteArray packets = (login + list.repeated(20) + gui)
                                           .repeated(50)
                                           .replace('\'', '"')
                                           .replace("@", "f" + from);
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
        // Served, and controllers answered, while the announcing box waits for a click.
        QTRY_VERIFY_WITH_TIMEOUT(jwtest::isListening(o.port + 11), 15000);
        QTRY_COMPARE_WITH_TIMEOUT(iniValue(jw, "port"), QString::number(o.port + 11), 5000);
        jwtest::Controller c(o.port + 11);
        QVERIFY(c.connectToHost() && c.login("early").contains("\"ret\":\"0\""));
        QCOMPARE(jw.stop(), 0); // SIGTERM while the box is up still ends in order
    }

    void secondStartShowsTheHiddenWindow_data()
    {
        QTest::addColumn<bool>("copiedElsewhere");
        QTest::addColumn<bool>("throughLink");
        QTest::newRow("copy in another folder") << true << false;
        QTest::newRow("data folder through a link") << false << true;
    }
    void secondStartShowsTheHiddenWindow()
    {
        QFETCH(bool, copiedElsewhere);
        QFETCH(bool, throughLink);
        if (!hasTray_) // only a tray keeps a window hidden
            QSKIP("needs an X display and trayer (a tray host)");
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
        o.withoutCompanion = copiedElsewhere;
        QTemporaryDir elsewhere;
        if (throughLink) {
            const QString link = elsewhere.path() + "/data";
            QVERIFY(QFile::link(first.dataDir(), link));
            o.env.insert("JWSHOW_DATA_DIR", link);
        }
        JwInstance second(o);
        QVERIFY2(second.start(), qPrintable(second.errorString()));
        QVERIFY(second.process().waitForFinished(2000)); // found at once
        QCOMPARE(second.stop(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(mainWindowShown(), 10000);

        // Neither lock outlives a copy that could not clean up.
        const qint64 companion = jwtest::findCompanion(first.port()).pid;
        first.process().kill();
        QVERIFY(first.process().waitForFinished(5000));
        if (companion)
            ::kill(pid_t(companion), SIGKILL);
        JwInstance next(sameDataFolder(first));
        QVERIFY2(next.start(), qPrintable(next.errorString()));
        QCOMPARE(next.stop(), 0);
    }

    // Debug mode in any letter case (the companion logs too). In a real tray the
    // close button hides, a click on the icon shows, its menu's last entry quits.
    void debugRunInATray()
    {
        if (!hasTray_)
            QSKIP("needs an X display and trayer (a tray host)");
        JwInstanceOptions o;
        o.useDisplay = true;
        o.args << QStringLiteral("DeBuG");
        o.config = {{"runtray", "0"}};
        JwInstance prog(o);
        QVERIFY2(prog.start(), qPrintable(prog.errorString()));
        const quint16 port = prog.port();
        Controller c(port);
        QVERIFY(c.connectToHost());
        QCOMPARE(findCompanion(port, 5000).args, arguments(port, e2e::tokenOf(c.login("p")))
                                                     << QStringLiteral("/logout"));

        unsigned long panel = 0, icon = 0;
        QTRY_VERIFY_WITH_TIMEOUT((panel = x.findDescendant("panel")) &&
                                     (icon = x.findDescendant("jwshow", panel)),
                                 5000);
        QTRY_VERIFY_WITH_TIMEOUT(x.isViewable(icon), 5000);
        const QPoint iconCentre = x.geometry(icon).center();
        QTRY_VERIFY_WITH_TIMEOUT(mainWindowShown(), 5000);
        QVERIFY(x.sendDeleteWindow(x.findWindow(QStringLiteral("Tovanel - 被控端"))));
        QTRY_VERIFY_WITH_TIMEOUT(!mainWindowShown(), 5000);
        QVERIFY(prog.isRunning() && isListening(port));
        QVERIFY(x.click(iconCentre, 1));
        QTRY_VERIFY_WITH_TIMEOUT(mainWindowShown(), 5000);
        QVERIFY(x.click(iconCentre, 3));
        QTest::qWait(500);
        QVERIFY(x.key(XK_Up) && x.key(XK_Return));
        QVERIFY2(prog.process().waitForFinished(8000), "the quit entry did not end the program");
        QVERIFY(prog.process().exitStatus() == QProcess::NormalExit && !prog.process().exitCode());
        QTRY_COMPARE_WITH_TIMEOUT(findCompanion(port).pid, qint64(0), 3000);
        const QByteArray log = logOf(prog);
        const QRegularExpression start("^\\n>[^>\\n]+>Debug:---------Start--------\\n\\n>");
        QVERIFY2(QString::fromUtf8(log).contains(start) &&
                     log.endsWith(">Debug:---------Exit--------\n"),
                 log.constData());
    }
};

QTEST_GUILESS_MAIN(TestE2e)
#include "tst_e2e.moc"
