// The built program as a process: the settings completed at first start, the
// debug log, the port fallback, single instance and the orderly end on SIGTERM
// (also in the middle of a flood); under X (no window manager) a copy started
// hidden in a tray comes up when a second starts, from the same data folder by any
// path, and without a tray it is not hidden at all.
#include "jwinstance.h"
#include "x11probe.h"

#include <QTcpServer>
#include <QtTest>
#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using jwtest::JwInstance;
using jwtest::JwInstanceOptions;

namespace
{
QString iniValue(JwInstance& jw, const QString& key)
{
    return QSettings(jw.iniPath(), QSettings::IniFormat).value("config/" + key).toString();
}

// A phone on its own address (127.0.0.<host>) that writes `packets` over and
// over as fast as the program takes them and reads every reply, until `stop`.
void flood(quint16 port, int host, const QByteArray& packets, const std::atomic<bool>& stop)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in self{AF_INET, 0, {htonl(INADDR_LOOPBACK + quint32(host))}, {}};
    sockaddr_in peer{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    ::bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self);
    ::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
    char sink[1 << 16];
    int sent = 0;
    while (!stop) {
        pollfd p{fd, POLLIN | POLLOUT, 0};
        if (::poll(&p, 1, 100) < 0 || (p.revents & (POLLERR | POLLHUP)))
            break;
        if (p.revents & POLLIN)
            (void)::recv(fd, sink, sizeof sink, 0);
        if (p.revents & POLLOUT) {
            const ssize_t n =
                ::send(fd, packets.constData() + sent, size_t(packets.size() - sent), MSG_NOSIGNAL);
            if (n > 0)
                sent = (sent + int(n)) % packets.size();
        }
    }
    ::close(fd);
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

    // In debug mode every packet is a line of the log window. After a few seconds
    // of a flood, lines and display work wait for the GUI thread by the thousand:
    // a SIGTERM still ends the program at once, in order.
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
        // file.list is answered by the dispatcher alone; mode show and remote go to
        // the windows.
        QByteArray packets;
        for (int i = 0; i < 20; ++i)
            packets +=
                "{\"type\":\"file.list\",\"id\":\"" + QByteArray::number(i) + "\",\"from\":\"f\"}";
        packets += "{\"type\":\"mode\",\"id\":\"s\",\"from\":\"f\",\"value\":\"show\"}"
                   "{\"type\":\"mode\",\"id\":\"r\",\"from\":\"f\",\"value\":\"remote\"}";
        std::atomic<bool> stop{false};
        std::vector<std::thread> phones;
        for (int host = 2; host < 5; ++host)
            phones.emplace_back(flood, jw.port(), host, packets, std::cref(stop));
        QTest::qWait(4000);
        jw.process().terminate();
        const bool ended = jw.process().waitForFinished(5000);
        stop = true;
        for (std::thread& t : phones)
            t.join();
        QVERIFY2(ended, "still running 5 s after SIGTERM");
        QCOMPARE(jw.stop(), 0);
        QFile log(jw.logPath());
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray text = log.readAll();
        QVERIFY2(text.endsWith(">Debug:---------Exit--------\n"), text.right(200).constData());
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
        QCOMPARE(first.stop(), 0);
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
