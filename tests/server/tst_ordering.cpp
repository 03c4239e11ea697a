// Ordering and fairness of the control server in process, with its real threads:
// a connection's close is handled after everything it sent, a controller that
// floods or stops reading slows only itself, and the work handed to the GUI
// thread stays bounded however fast packets come.
//
// The GUI thread's work is held up simply by not running this thread's event loop
// (waitUntil below never processes events); that also holds the dispatcher up
// once its hand-overs reach the bound.

#include "base/appglobals.h"
#include "jwinstance.h"
#include "protocol/jsonscanner.h"
#include "server/jwdatamanage.h"
#include "server/jwshowservice.h"
#include "server/jwusermanage.h"

#include <QElapsedTimer>
#include <QHostInfo>
#include <QSignalSpy>
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
    JWShowService* srv = JWShowService::GetInstance();
    JWdataManage* dm = JWdataManage::GetInstance();
    JwUserManage* users = JwUserManage::GetInstance();
    static constexpr int kMax = JWdataManage::kMaxGuiBacklog;

    std::unique_ptr<Controller> connected()
    {
        auto c = std::make_unique<Controller>(port);
        return c->connectToHost() ? std::move(c) : nullptr;
    }
    // Holds the dispatcher up: the GUI thread's work reaches the bound and a few
    // more hand-overs wait behind it.
    bool holdDispatcher(Controller& blocker)
    {
        return blocker.sendRaw(packets(kMax + 50, kDrawing)) &&
               waitUntil([this] { return dm->GuiBacklog() == kMax && dm->QueuedChars() > 0; });
    }
    // Lets the GUI thread work until everything queued has been handled.
    void release()
    {
        QTRY_VERIFY_WITH_TIMEOUT(dm->QueuedChars() == 0 && dm->GuiBacklog() == 0, 20000);
    }

private slots:
    void initTestCase()
    {
        unsetenv("DISPLAY");
        g_computerName = QHostInfo::localHostName();
        QVERIFY(srv->Init(port));
        QSignalSpy announced(dm, &JWdataManage::msg_localIp);
        dm->start();
        QTRY_COMPARE(announced.count(), 1);
    }
    void cleanupTestCase() { dm->Stop(), JWShowService::Terminate(); }

    // Repeated identical requests cost the GUI thread one piece of work while it is
    // busy, and of display changes only the newest is made; different ones wait once
    // the bound is reached, and nothing is lost.
    void guiWorkIsCoalescedAndBounded()
    {
        QSignalSpy shows(dm, &JWdataManage::msg_show), drawn(dm, &JWdataManage::msg_drawing);
        QSignalSpy changed(dm, &JWdataManage::msg_ChangeResolution),
            restored(dm, &JWdataManage::msg_ReductionResolution);
        auto c = connected();
        const QByteArray show = j("{'type':'mode','id':'m','from':'b','value':'show'}");
        const QByteArray resize = j("{'type':'resolution','act':'set','width':'800','height':'600'}"
                                    "{'type':'resolution','act':'reduction'}");
        QVERIFY(c &&
                c->sendRaw(packets(3000, kDrawing) + packets(2000, show) + packets(500, resize) +
                           j("{'type':'resolution','act':'set','width':'1024','height':'768'}")));
        waitUntil([this] { return dm->QueuedChars() == 0 && dm->GuiBacklog() == 3002; });
        QCOMPARE(dm->GuiBacklog(), 3002);
        QVERIFY(holdDispatcher(*c));
        QThread::msleep(100);
        QCOMPARE(dm->GuiBacklog(), kMax); // and not one more
        release();
        QCOMPARE(shows.count(), 1);
        QCOMPARE(restored.count(), 0);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.first().at(0).toULongLong(), 1024ULL);
        QCOMPARE(changed.first().at(1).toULongLong(), 768ULL);
        QCOMPARE(drawn.count(), 3000 + kMax + 50);
        for (int i = 0; i < 3001; ++i)
            QVERIFY(!c->nextReply(5000).isEmpty()); // every request was answered
    }

    // Phones that log in and drop at once while the dispatcher is behind leave no
    // one registered, and the same ids log in again afterwards.
    void closesFollowTheirPackets()
    {
        QSignalSpy added(dm, &JWdataManage::msg_addUser),
            removed(dm, &JWdataManage::msg_removeUser);
        QSignalSpy closed(dm, &JWdataManage::msg_closeShow);
        auto blocker = connected();
        QVERIFY(blocker && holdDispatcher(*blocker));
        for (int i = 0; i < 6; ++i) {
            Controller phone(port);
            QVERIFY(phone.connectToHost() &&
                    phone.sendRaw(j("{'type':'login','pwd':'x','from':'ghost") +
                                  QByteArray::number(i) + "\"}"));
            phone.socket().disconnectFromHost();
        }
        QVERIFY(waitUntil([this] { return srv->ConnectionCount() == 1; })); // the drops were seen
        release();
        QCOMPARE(users->Count(), 0);
        QCOMPARE(added.count(), 6);
        QCOMPARE(removed.count(), 6);
        QVERIFY(closed.count() >= 1);
        auto again = connected();
        QVERIFY(again && again->login("ghost0").contains(j("'ret':'0'")));
        QCOMPARE(users->GetUserById("ghost0").name, QString("tester"));
    }

    // A controller that writes faster than its packets are handled is not read
    // beyond a small bound; another one is read and answered meanwhile.
    void fastWriterSlowsOnlyItself()
    {
        auto blocker = connected();
        QVERIFY(blocker && holdDispatcher(*blocker));
        RawPeer flood(port);
        const QByteArray keepAlive = j("{'type':'rcserver.keepalive','from':'w','port':'0'}");
        // Written until the kernel takes nothing more for a while: the server no
        // longer reads it.
        QElapsedTimer quiet, total;
        quiet.start(), total.start();
        while (quiet.elapsed() < 300 && total.elapsed() < 10000) {
            if (flood.offerMore(keepAlive) > 0)
                quiet.restart();
            else
                QThread::msleep(5);
        }
        auto bystander = connected();
        QVERIFY(bystander && bystander->sendRaw(j("{'type':'login','pwd':'x','from':'by'}")));
        QVERIFY(waitUntil([this] { return srv->ConnectionCount() >= 3; }));
        QTest::qSleep(200); // the server reads what it will read
        const qint64 queued = dm->QueuedChars();
        QVERIFY2(queued < JWShowService::kMaxQueuedInput + 64 * 1024,
                 qPrintable(QString::number(queued)));
        release();
        QVERIFY(bystander->nextReply(10000).contains(j("'type':'login'")));
        QTRY_VERIFY_WITH_TIMEOUT(dm->QueuedChars() == 0, 20000);
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
