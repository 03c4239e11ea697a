// Ordering and fairness of the control server in process, with its real threads:
// a connection's close is handled after everything it sent, a controller that
// floods, outruns the GUI thread or stops reading slows only itself, and the work
// handed to the GUI thread stays bounded however fast packets come.
//
// The GUI thread's work is held up simply by not running this thread's event loop
// (waitUntil below never processes events).

#include "base/appinfo.h"
#include "commandtext.h"
#include "jwinstance.h"
#include "protocol/jsonscanner.h"
#include "server/controlserver.h"
#include "server/jwdatamanage.h"
#include "server/jwusermanage.h"

#include <QElapsedTimer>
#include <QHostInfo>
#include <QtTest>
#include <arpa/inet.h>
#include <functional>
#include <sys/socket.h>
#include <unistd.h>

using jwtest::Controller;

namespace
{
// JSON written with single quotes (moc reads no raw strings).
QByteArray j(const char* text)
{
    return QByteArray(text).replace('\'', '"');
}
// Waits without running the event loop.
bool waitUntil(const std::function<bool()>& done, int ms = 10000)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        QThread::msleep(2);
    }
    return true;
}

QByteArray packets(int n, const QByteArray& one)
{
    QByteArray all;
    for (int i = 0; i < n; ++i)
        all += one;
    return all;
}
const QByteArray kDrawing = j("{'type':'whiteboard.drawing','from':'b','x':1,'y':1}");
const QByteArray kFileList = j("{'type':'file.list','id':'f','from':'f'}");

// A socket of the test's own that reads only when told to.
struct RawPeer {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    explicit RawPeer(quint16 port, int rcvbuf = 0)
    {
        if (rcvbuf)
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        sockaddr_in a{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    ~RawPeer() { ::close(fd); }
    // Writes without waiting; the bytes the kernel took.
    qint64 offer(const QByteArray& b)
    {
        const ssize_t n = ::send(fd, b.constData(), size_t(b.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
        return n < 0 ? 0 : n;
    }
    // Writes the next part of an endless repetition of `one` without waiting.
    qint64 offerMore(const QByteArray& one)
    {
        const QByteArray burst = packets(64, one);
        const qint64 n = offer(burst.mid(int(streamPos % one.size())));
        streamPos += n;
        return n;
    }
    qint64 streamPos = 0;
};
} // namespace

class TestOrdering : public QObject
{
    Q_OBJECT
    quint16 port = jwtest::freePort();
    std::unique_ptr<ControlServer> server;
    JWShowService* srv = nullptr;
    JWdataManage* dm = nullptr;
    JwUserManage* users = nullptr;
    QStringList routed; // what the windows were asked, in order
    // How many of the commands given since the last call start with prefix.
    int countOf(const char* prefix) const
    {
        return int(std::count_if(routed.begin(), routed.end(),
                                 [prefix](const QString& c) { return c.startsWith(prefix); }));
    }
    static constexpr int kMax = JWdataManage::kMaxGuiPerConnection;

    std::unique_ptr<Controller> connected()
    {
        auto c = std::make_unique<Controller>(port);
        return c->connectToHost() ? std::move(c) : nullptr;
    }
    // Lets the GUI thread work until everything queued has been handled.
    void release()
    {
        QTRY_VERIFY_WITH_TIMEOUT(dm->QueuedCost() == 0 && dm->GuiBacklog() == 0, 20000);
    }

private slots:
    void initTestCase()
    {
        unsetenv("DISPLAY");
        ServerConfig config;
        config.hostName = QHostInfo::localHostName();
        server = std::make_unique<ControlServer>(config);
        srv = &server->sockets(), dm = &server->dispatcher(), users = &server->registry();
        QVERIFY(server->listen(port));
        JWdataManage::Receivers r;
        r.show = [this](const cmd::ShowCommand& c) { routed << jwtest::text(c); };
        r.boards = [this](const cmd::BoardCommand& c) { routed << jwtest::text(c); };
        r.main = [this](const cmd::MainCommand& c) { routed << jwtest::text(c); };
        server->start(r);
        QTRY_COMPARE(countOf("addresses"), 1);
    }
    void cleanupTestCase() { server.reset(); }
    // What the last case left (its connections' closes) is worked off first.
    void init() { QTRY_VERIFY_WITH_TIMEOUT(users->Count() == 0 && dm->GuiBacklog() == 0, 20000); }

    // While the GUI thread is busy, show and hide requests however alternated cost
    // it one piece of work, and of display changes only the newest is made.
    void guiWorkIsCoalesced()
    {
        routed.clear();
        auto c = connected();
        const QByteArray modes = j("{'type':'mode','id':'m','from':'b','value':'remote'}"
                                   "{'type':'mode','id':'m','from':'b','value':'show'}");
        const QByteArray resize = j("{'type':'resolution','act':'set','width':'800','height':'600'}"
                                    "{'type':'resolution','act':'reduction'}");
        QVERIFY(c && c->login("c").contains(j("'ret':'0'")) &&
                c->sendRaw(packets(2000, modes) + packets(500, resize) +
                           j("{'type':'resolution','act':'set','width':'1024','height':'768'}")));
        for (int i = 0; i < 5001; ++i)
            QVERIFY(!c->nextReply(5000).isEmpty()); // every request is answered meanwhile
        QCOMPARE(dm->GuiBacklog(), 3); // the login, one show change, one display change
        release();
        QCOMPARE(routed, (QStringList{"added c,tester,", "show shown", "resolution 1024,768"}));
    }

    // Controllers whose board work outruns the GUI thread wait alone, each beyond
    // its own bound and all of them beyond a total, and are not read beyond a small
    // bound; another is read and answered meanwhile, and nothing is lost.
    void busyControllersWaitAlone()
    {
        routed.clear();
        std::vector<std::unique_ptr<RawPeer>> floods;
        const int count = JWdataManage::kMaxGuiTotal / kMax + 2;
        for (int i = 0; i < count; ++i) {
            floods.push_back(std::make_unique<RawPeer>(port));
            floods.back()->offer(j("{'type':'login','pwd':'x','from':'b") + QByteArray::number(i) +
                                 "\"}");
        }
        QVERIFY(waitUntil([&] { return users->Count() == count; }));
        // Written until the kernel takes nothing more for a while: the server no
        // longer reads them.
        QElapsedTimer quiet, total;
        quiet.start(), total.start();
        qint64 sent = 0;
        while (quiet.elapsed() < 300 && total.elapsed() < 20000) {
            bool any = false;
            for (int i = 0; i < count; ++i) {
                const QByteArray drawing = j("{'type':'whiteboard.drawing','from':'b") +
                                           QByteArray::number(i) + j("','x':1,'y':1}");
                const qint64 n = floods[i]->offerMore(drawing);
                any |= n > 0;
            }
            if (any)
                quiet.restart();
            else
                QThread::msleep(5);
        }
        const int backlog = dm->GuiBacklog();
        QVERIFY2(backlog >= JWdataManage::kMaxGuiTotal &&
                     backlog <= JWdataManage::kMaxGuiTotal + count,
                 qPrintable(QString::number(backlog)));
        QVERIFY(dm->GuiBacklog(users->GetUserById("b0").sock) <= kMax);
        const qint64 queued = dm->QueuedCost();
        QVERIFY2(queued < count * (JWShowService::kMaxQueuedInput + 64 * 1024),
                 qPrintable(QString::number(queued)));
        auto bystander = connected();
        QVERIFY(bystander && bystander->login("by").contains(j("'ret':'0'")));
        QVERIFY(!bystander->request({{"type", "file.list"}, {"id", "1"}}).isEmpty());
        for (int i = 0; i < count; ++i)
            sent += floods[i]->streamPos / (j("{'type':'whiteboard.drawing','from':'b") +
                                            QByteArray::number(i) + j("','x':1,'y':1}"))
                                               .size();
        release();
        QTRY_COMPARE_WITH_TIMEOUT(countOf("board"), int(sent), 30000);
    }

    // Phones that log in and drop at once while their work waits for the GUI thread
    // leave no one registered, and the same ids log in again afterwards.
    void closesFollowTheirPackets()
    {
        routed.clear();
        for (int i = 0; i < 6; ++i) {
            Controller phone(port);
            const QByteArray id = "ghost" + QByteArray::number(i);
            const QByteArray drawing = j("{'type':'whiteboard.drawing','from':'") + id + "\"}";
            QVERIFY(phone.connectToHost() &&
                    phone.sendRaw(j("{'type':'login','pwd':'x','from':'") + id + "\"}" +
                                  packets(kMax + 10, drawing)));
            phone.socket().disconnectFromHost();
        }
        QVERIFY(waitUntil([this] { return srv->ConnectionCount() == 0; })); // the drops were seen
        QVERIFY(users->Count() > 0); // their closes wait behind their packets
        release();
        QCOMPARE(users->Count(), 0);
        QCOMPARE(countOf("added"), 6);
        QCOMPARE(countOf("removed"), 6);
        QVERIFY(countOf("show close") >= 1);
        auto again = connected();
        QVERIFY(again && again->login("ghost0").contains(j("'ret':'0'")));
        QCOMPARE(users->GetUserById("ghost0").name, QString("tester"));
    }

    // A controller that reads all the time gets every reply of a burst of large
    // ones: replies held back for one write leave once they pass a size.
    void readerOfLargeRepliesIsServed()
    {
        RawPeer reader(port);
        const QByteArray one =
            j("{'type':'file.list','from':'r','id':'") + QByteArray(20000, 'i') + "\"}";
        const QByteArray all = packets(200, one);
        qint64 sent = 0, replies = 0;
        JsonObjectScanner scanner;
        char buf[65536];
        QElapsedTimer t;
        t.start();
        while (replies < 200 && t.elapsed() < 30000) {
            if (sent < all.size())
                sent += reader.offer(all.mid(int(sent), 65536));
            const ssize_t n = ::recv(reader.fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n == 0)
                break; // cut off
            for (ssize_t k = 0; k < n; ++k)
                replies += scanner.step(buf[k]) == JsonObjectScanner::ObjectEnd;
            if (n < 0)
                QThread::msleep(1);
        }
        QCOMPARE(replies, qint64(200));
    }

    // A controller that reads its replies slowly gets all of them, however many it
    // asks for at once (one that never reads is the load suite's case).
    void slowReaderGetsAllReplies()
    {
        // 20,000 pipelined requests, their 3.9 MB of replies read 16 KiB at a time.
        RawPeer slow(port, 16384);
        const QByteArray all = packets(20000, kFileList);
        qint64 sent = 0, replies = 0;
        JsonObjectScanner scanner;
        char buf[16384];
        QElapsedTimer t;
        t.start();
        while (replies < 20000 && t.elapsed() < 30000) {
            if (sent < all.size())
                sent += slow.offer(all.mid(int(sent), 65536));
            const ssize_t n = ::recv(slow.fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n == 0)
                break; // cut off
            for (ssize_t k = 0; k < n; ++k)
                replies += scanner.step(buf[k]) == JsonObjectScanner::ObjectEnd;
            QThread::msleep(5);
        }
        QCOMPARE(replies, qint64(20000));
    }
};

QTEST_GUILESS_MAIN(TestOrdering)
#include "tst_ordering.moc"
