// The socket server on a loopback port: greeting, framing over TCP, many
// connections, a controller that stops reading, closing, restarting, and junk.

#include "servertestutil.h"

#include "app/appglobals.h"
#include "server/jwdatamanage.h"
#include "server/jwshowservice.h"
#include "server/jwusermanage.h"
#include "ui/mainwindow.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <arpa/inet.h>
#include <atomic>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
const QByteArray kGreeting = "jwshow-1.0.4.111-testhost";

QByteArray modePacket(const QByteArray& id, const QByteArray& from = "c")
{
    return R"({"type":"mode","id":")" + id + R"(","from":")" + from + R"(","value":"remote"})";
}

QByteArray modeReply(const QByteArray& id, const QByteArray& to = "c")
{
    return R"({"desc":"","from":"jwshow","id":")" + id + R"(","ret":"0","to":")" + to +
           R"(","type":"mode"})";
}

qint64 residentKiB()
{
    QFile f("/proc/self/status");
    f.open(QIODevice::ReadOnly);
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}
} // namespace

class TestServerSocket : public QObject
{
    Q_OBJECT

    int port = 0;
    MainWindow* mw = nullptr;

private slots:
    void initTestCase();
    void cleanupTestCase();
    void greetingAndFraming();
    void manyConnectionsAreAllRead();
    void concurrentSendersNeverInterleave();
    void stalledReaderDoesNotBlockOthers();
    void peerCloseAndLogoutEndTheConnection();
    void terminateAndInitAgain();
    void socketOptions();
    void acceptSurvivesDescriptorExhaustion();
    void junkNeitherCrashesNorGrows();
};

void TestServerSocket::initTestCase()
{
    g_computerName = "testhost";
    g_auth = "123456";
    mw = new MainWindow;
    g_mainWindow = mw;
    JWdataManage::GetInstance();
    JwUserManage::GetInstance();
    port = testutil::freePort();
    QVERIFY(JWShowService::GetInstance()->Init(port));
    QCOMPARE(JWShowService::GetInstance()->ListenPort(), port);

    // The dispatcher announces the host's addresses when it starts.
    QList<QStringList> announced;
    QObject ctx;
    connect(
        mw, &MainWindow::msg_localIp, &ctx, [&](QStringList l) { announced << l; },
        Qt::QueuedConnection);
    JWdataManage::GetInstance()->start();
    QTRY_COMPARE(announced.size(), 1);
    const QStringList ips = JWdataManage::GetLocalIpAddress();
    QCOMPARE(announced.at(0), ips);
    for (const QString& ip : ips) {
        QHostAddress h(ip);
        QCOMPARE(h.protocol(), QAbstractSocket::IPv4Protocol);
        QVERIFY(!h.isLoopback());
    }
}

void TestServerSocket::cleanupTestCase()
{
    JWdataManage::GetInstance()->Stop();
    JWShowService::Terminate();
    g_mainWindow = nullptr;
    delete mw;
}

void TestServerSocket::greetingAndFraming()
{
    QTcpSocket c;
    c.connectToHost(QHostAddress::LocalHost, quint16(port));
    QVERIFY(c.waitForConnected(3000));
    // The greeting comes unasked, without terminator, and nothing follows it.
    QCOMPARE(testutil::readExactly(c, kGreeting.size()), kGreeting);

    // Two packets in one write: both answered, in order.
    c.write(modePacket("a1") + modePacket("a2") + "\r\n");
    QCOMPARE(testutil::readObject(c), modeReply("a1"));
    QCOMPARE(testutil::readObject(c), modeReply("a2"));

    // One packet in two writes with a pause between them: answered once, whole.
    const QByteArray p = modePacket("split-中文");
    const int cut = p.indexOf("\xe4\xb8\xad") + 1; // inside a multi-byte character
    c.write(p.left(cut));
    QVERIFY(c.waitForBytesWritten(1000));
    QTest::qWait(300);
    c.write(p.mid(cut));
    QCOMPARE(testutil::readObject(c), modeReply("split-中文"));

    // A packet longer than one read (2048 bytes) is still one packet.
    const QByteArray url(5000, 'u');
    c.write(R"({"type":"show.image","id":"big","from":"c","url":")" + url + R"("})");
    QCOMPARE(
        testutil::readObject(c),
        QByteArray(
            R"({"desc":"","from":"jwshow","id":"big","ret":"0","to":"c","type":"show.image"})"));

    // A zero byte ends what a read carries.
    c.write(modePacket("z") + QByteArray("\0{\"type\":\"mode\",\"id\":\"lost\"}", 29));
    QCOMPARE(testutil::readObject(c), modeReply("z"));
    c.write(modePacket("after"));
    QCOMPARE(testutil::readObject(c), modeReply("after"));
}

void TestServerSocket::manyConnectionsAreAllRead()
{
    // Far more than the 63 a select-based loop could watch.
    constexpr int kClients = 200;
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(std::make_unique<QTcpSocket>());
        QVERIFY(testutil::connectClient(*clients.back(), port, kGreeting));
    }
    QTRY_VERIFY(JWShowService::GetInstance()->ConnectionCount() >= kClients);
    // The last connected writes first, so none is served because of its position.
    for (int i = kClients - 1; i >= 0; --i)
        clients[i]->write(modePacket(QByteArray::number(i), "m" + QByteArray::number(i)));
    for (int i = 0; i < kClients; ++i) {
        const QByteArray id = QByteArray::number(i);
        QCOMPARE(testutil::readObject(*clients[i]), modeReply(id, "m" + id));
    }
    const int before = JWShowService::GetInstance()->ConnectionCount();
    clients.clear();
    QTRY_COMPARE(JWShowService::GetInstance()->ConnectionCount(), before - kClients);
}

void TestServerSocket::concurrentSendersNeverInterleave()
{
    QTcpSocket c;
    QVERIFY(testutil::connectClient(c, port, kGreeting));
    c.write(R"({"type":"login","id":"1","from":"both","pwd":"x"})");
    QVERIFY(testutil::readObject(c).contains(R"("to":"both")"));
    const SOCKET s = JwUserManage::GetInstance()->GetUserById("both").sock;
    QVERIFY(s != 0);

    // Two threads (like the dispatcher and the show window's reports) send large
    // texts to one connection at once.
    constexpr int kEach = 200;
    auto sender = [s](char fill) {
        for (int i = 0; i < kEach; ++i) {
            JWData d;
            d.type = "show.video.info";
            d.act = "status";
            d.value = QString(20000, QChar(fill));
            JWdataManage::GetInstance()->sendRetPack(s, d);
        }
    };
    QLoggingCategory::setFilterRules("jwshow.debug=false");
    std::thread a(sender, 'a');
    std::thread b(sender, 'b');
    int seenA = 0, seenB = 0;
    for (int i = 0; i < 2 * kEach; ++i) {
        const QByteArray obj = testutil::readObject(c, 10000);
        const QJsonObject o = QJsonDocument::fromJson(obj).object();
        const QString v = o.value("value").toString();
        QCOMPARE(v.size(), 20000);
        QVERIFY(v == QString(20000, 'a') || v == QString(20000, 'b'));
        (v.at(0) == 'a' ? seenA : seenB)++;
    }
    a.join();
    b.join();
    QLoggingCategory::setFilterRules(QString());
    QCOMPARE(seenA, kEach);
    QCOMPARE(seenB, kEach);
    JwUserManage::GetInstance()->RemoveUserById("both");
}

void TestServerSocket::stalledReaderDoesNotBlockOthers()
{
    // A raw socket with a tiny receive buffer that never reads.
    const int raw = ::socket(AF_INET, SOCK_STREAM, 0);
    QVERIFY(raw >= 0);
    int small = 4096;
    ::setsockopt(raw, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(quint16(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QCOMPARE(::connect(raw, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    const QByteArray login = R"({"type":"login","id":"s","from":"stalled","pwd":"x"})";
    QCOMPARE(::send(raw, login.constData(), size_t(login.size()), 0), ssize_t(login.size()));
    QTRY_VERIFY(JwUserManage::GetInstance()->GetUserById("stalled").sock != 0);
    const SOCKET stalled = JwUserManage::GetInstance()->GetUserById("stalled").sock;

    // Another thread writes to it until its buffers are full and the send gives up.
    std::atomic<bool> gaveUp{false};
    qint64 accepted = 0;
    std::thread writer([&] {
        const QByteArray chunk(64 * 1024, 'x');
        while (JWShowService::GetInstance()->Send(stalled, chunk))
            accepted += chunk.size();
        gaveUp = true;
    });

    // Meanwhile another controller is served, by the dispatcher and directly.
    QTcpSocket other;
    QVERIFY(testutil::connectClient(other, port, kGreeting));
    other.write(modePacket("busy"));
    QCOMPARE(testutil::readObject(other), modeReply("busy"));
    other.write(modePacket("busy2"));
    QCOMPARE(testutil::readObject(other), modeReply("busy2"));

    QTRY_VERIFY_WITH_TIMEOUT(gaveUp.load(), 20000);
    writer.join();
    QVERIFY(accepted > 0);
    // The stalled connection was shut down and is closed by the server thread;
    // its registry entry goes with it.
    QTRY_COMPARE(JwUserManage::GetInstance()->GetUserById("stalled").sock, SOCKET(0));
    QVERIFY(!JWShowService::GetInstance()->Send(stalled, "late"));
    // What it received is intact: the greeting, its login reply, then whole chunks.
    QByteArray got;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::recv(raw, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        got.append(buf, int(n));
    }
    ::close(raw);
    QVERIFY(got.startsWith(kGreeting + R"({"desc":"","from":"jwshow","id":"s","name":"",)"));
    QVERIFY(got.size() >= accepted);
}

void TestServerSocket::peerCloseAndLogoutEndTheConnection()
{
    QStringList removed;
    QObject ctx;
    connect(
        mw, &MainWindow::msg_removeUser, &ctx, [&](QString id) { removed << id; },
        Qt::QueuedConnection);

    // A controller that simply goes away is removed from the registry.
    {
        QTcpSocket c;
        QVERIFY(testutil::connectClient(c, port, kGreeting));
        c.write(R"({"type":"login","id":"1","from":"gone","pwd":"x"})");
        QVERIFY(testutil::readObject(c).contains(R"("to":"gone")"));
        QCOMPARE(JwUserManage::GetInstance()->Count(), 1);
    }
    QTRY_COMPARE(removed, QStringList{"gone"});
    QCOMPARE(JwUserManage::GetInstance()->Count(), 0);

    // Logout: no reply, the server closes the connection, later packets are not read.
    QTcpSocket c;
    QVERIFY(testutil::connectClient(c, port, kGreeting));
    c.write(R"({"type":"login","id":"1","from":"leaver","pwd":"x"})");
    QVERIFY(testutil::readObject(c).contains(R"("to":"leaver")"));
    c.write(R"({"type":"logout","id":"2","from":"leaver"})");
    QTRY_COMPARE(c.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(c.readAll(), QByteArray());
    QTRY_COMPARE(removed, QStringList({"gone", "leaver"}));

    // The main window's disconnect: the same path.
    QTcpSocket d;
    QVERIFY(testutil::connectClient(d, port, kGreeting));
    d.write(R"({"type":"login","id":"1","from":"kicked","pwd":"x"})");
    QVERIFY(testutil::readObject(d).contains(R"("to":"kicked")"));
    JwUserManage::GetInstance()->CloseUserById("kicked");
    QTRY_COMPARE(d.state(), QAbstractSocket::UnconnectedState);
    QTRY_COMPARE(removed, QStringList({"gone", "leaver", "kicked"}));
}

void TestServerSocket::terminateAndInitAgain()
{
    auto* srv = JWShowService::GetInstance();
    // A live listener cannot be bound twice.
    QVERIFY(!srv->Init(port));
    QCOMPARE(srv->ListenPort(), port);

    QTcpSocket old;
    QVERIFY(testutil::connectClient(old, port, kGreeting));
    old.write(modePacket("before"));
    QCOMPARE(testutil::readObject(old), modeReply("before"));

    JWShowService::Terminate();
    QCOMPARE(srv->ConnectionCount(), 0);
    QCOMPARE(srv->ListenPort(), 0);
    QTRY_COMPARE(old.state(), QAbstractSocket::UnconnectedState);
    QTcpSocket refused;
    refused.connectToHost(QHostAddress::LocalHost, quint16(port));
    QVERIFY(!refused.waitForConnected(1000));

    const int other = testutil::freePort();
    QVERIFY(srv->Init(other));
    QTcpSocket fresh;
    QVERIFY(testutil::connectClient(fresh, other, kGreeting));
    fresh.write(modePacket("after"));
    QCOMPARE(testutil::readObject(fresh), modeReply("after"));

    // Back to the first port, whose closed connections may sit in TIME_WAIT.
    JWShowService::Terminate();
    QVERIFY(srv->Init(port));
    QTcpSocket back;
    QVERIFY(testutil::connectClient(back, port, kGreeting));
    back.write(modePacket("back"));
    QCOMPARE(testutil::readObject(back), modeReply("back"));
}

void TestServerSocket::socketOptions()
{
    QTcpSocket c;
    QVERIFY(testutil::connectClient(c, port, kGreeting));
    int serverSide = 0;
    int total = 0;
    for (const QString& name :
         QDir("/proc/self/fd").entryList(QDir::System | QDir::NoDotAndDotDot)) {
        const int fd = name.toInt();
        const QString link = QFile::symLinkTarget("/proc/self/fd/" + name);
        if (!link.contains("socket:") && !link.contains("eventfd"))
            continue;
        // Nothing of ours may leak into the companion process.
        QVERIFY2(::fcntl(fd, F_GETFD) & FD_CLOEXEC, qPrintable(link));
        ++total;
        sockaddr_in local{};
        socklen_t len = sizeof local;
        int listening = 0;
        socklen_t ilen = sizeof listening;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0 ||
            local.sin_family != AF_INET || ntohs(local.sin_port) != port)
            continue;
        ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &ilen);
        auto opt = [fd](int level, int name) {
            int v = -1;
            socklen_t l = sizeof v;
            ::getsockopt(fd, level, name, &v, &l);
            return v;
        };
        if (listening) {
            QCOMPARE(opt(SOL_SOCKET, SO_REUSEADDR), 1);
            continue;
        }
        ++serverSide;
        QCOMPARE(opt(SOL_SOCKET, SO_KEEPALIVE), 1);
        QCOMPARE(opt(IPPROTO_TCP, TCP_KEEPIDLE), 10);
        QCOMPARE(opt(IPPROTO_TCP, TCP_KEEPINTVL), 5);
        QCOMPARE(opt(IPPROTO_TCP, TCP_KEEPCNT), 3);
        timeval tv{};
        socklen_t tl = sizeof tv;
        ::getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, &tl);
        QCOMPARE(int(tv.tv_sec), 2);
    }
    QVERIFY(serverSide >= 1);
    QVERIFY(total >= 3);
}

void TestServerSocket::acceptSurvivesDescriptorExhaustion()
{
    QTcpSocket established;
    QVERIFY(testutil::connectClient(established, port, kGreeting));

    // Sockets made now, connected once no descriptor is left for the server.
    std::vector<int> waiting;
    for (int i = 0; i < 3; ++i)
        waiting.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int lowestFree = ::dup(0);
    ::close(lowestFree);
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    rlimit tight = saved;
    tight.rlim_cur = rlim_t(lowestFree);
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &tight), 0);

    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(quint16(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int fd : waiting)
        QCOMPARE(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    // The server cannot accept them, yet keeps serving who it has.
    for (int i = 0; i < 3; ++i) {
        established.write(modePacket("full" + QByteArray::number(i)));
        QCOMPARE(testutil::readObject(established), modeReply("full" + QByteArray::number(i)));
    }
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &saved), 0);

    // With descriptors back, the waiting connections are accepted and greeted.
    for (int fd : waiting) {
        timeval tv{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        QByteArray got;
        char buf[64];
        while (got.size() < kGreeting.size()) {
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            got.append(buf, int(n));
        }
        QCOMPARE(got, kGreeting);
        ::close(fd);
    }
}

void TestServerSocket::junkNeitherCrashesNorGrows()
{
    QLoggingCategory::setFilterRules("jwshow.debug=false\ndefault.warning=false");
    auto* rng = QRandomGenerator::global();
    auto* dm = JWdataManage::GetInstance();
    const QStringList types = {"mode",
                               "login",
                               "show.image",
                               "show.video",
                               "show.video.control",
                               "resolution",
                               "mouse.move",
                               "rcserver.keepalive",
                               "file.list",
                               "file.open",
                               "file.close",
                               "whiteboard.start",
                               "whiteboard.color",
                               "whiteboard.drawing",
                               "whiteboard.shape",
                               "whiteboard.string.set",
                               "whiteboard.end",
                               "x"};
    const QStringList keys = {"type",   "id", "from", "to", "value", "url", "act",  "time", "width",
                              "height", "x",  "y",    "r",  "g",     "b",   "port", "pwd",  "text"};
    auto randomValue = [&]() -> QJsonValue {
        switch (rng->bounded(6)) {
        case 0:
            return rng->generateDouble() * 1e300 * (rng->bounded(2) ? 1 : -1);
        case 1:
            return QString::number(qint64(rng->generate64()));
        case 2:
            return QJsonValue(bool(rng->bounded(2)));
        case 3:
            return QJsonValue();
        case 4:
            return QJsonObject{{"k", 1}};
        default:
            return QString("tr{ue\"") + QChar(0x4e2d);
        }
    };
    auto randomPacket = [&]() {
        QJsonObject o;
        o.insert("type", types.at(rng->bounded(types.size())));
        for (int k = rng->bounded(8); k > 0; --k)
            o.insert(keys.at(rng->bounded(keys.size())), randomValue());
        if (o.value("type").toString() == "logout")
            o.insert("type", "mode");
        return QJsonDocument(o).toJson(QJsonDocument::Compact);
    };

    // Straight into the dispatcher (no connection behind number 0).
    for (int i = 0; i < 3000; ++i)
        dm->HandleText(QString::fromUtf8(randomPacket()), 0);
    for (int i = 0; i < 1000; ++i) {
        QByteArray b(rng->bounded(200), 0);
        for (char& ch : b)
            ch = char(rng->bounded(256));
        dm->HandleText(QString::fromUtf8(b), 0);
    }

    // Over the wire: random packets and random bytes, read back as they come. The
    // first round warms the allocator up; the later ones must not add to it.
    qint64 rssBefore = 0;
    for (int round = 0; round < 4; ++round) {
        if (round == 1)
            rssBefore = residentKiB();
        QTcpSocket junk;
        QVERIFY(testutil::connectClient(junk, port, kGreeting));
        for (int i = 0; i < 1500; ++i) {
            QByteArray b;
            if (i % 2) {
                b = randomPacket();
            } else {
                b.resize(1 + rng->bounded(3000));
                for (char& ch : b) {
                    const quint32 r = rng->bounded(8);
                    ch = r == 0 ? '{' : r == 1 ? '}' : r == 2 ? '"' : char(rng->bounded(256));
                }
            }
            junk.write(b);
            junk.waitForBytesWritten(1000);
            junk.readAll();
        }
        junk.readAll();
    }
    // Everything queued so far is handled before this reply comes back.
    QTcpSocket probe;
    QVERIFY(testutil::connectClient(probe, port, kGreeting));
    probe.write(modePacket("alive"));
    QCOMPARE(testutil::readObject(probe, 20000), modeReply("alive"));
    const qint64 grownKiB = residentKiB() - rssBefore;
    Q_UNUSED(grownKiB);
#ifndef __SANITIZE_ADDRESS__ // the sanitizer's quarantine holds freed memory on purpose
    QVERIFY2(grownKiB < 16 * 1024, qPrintable(QString("grew by %1 KiB").arg(grownKiB)));
#endif
    QLoggingCategory::setFilterRules(QString());
}

JW_SERVER_TEST_MAIN(TestServerSocket)
#include "tst_server_socket.moc"
