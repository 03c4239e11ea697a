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
#include <functional>
#include <sys/socket.h>

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

const QByteArray kFileList = j("{'type':'file.list','id':'f','from':'f'}");

// Writes the next part of an endless repetition of `one` without waiting: the bytes
// written so far in all.
qint64 offerMore(const jwtest::RawSocket& s, const QByteArray& one, qint64 sent)
{
    return sent + s.offer(one.repeated(64).mid(int(sent % one.size())));
}
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
                c->sendRaw(modes.repeated(2000) + resize.repeated(500) +
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
        const int count = JWdataManage::kMaxGuiTotal / kMax + 2;
        std::vector<std::unique_ptr<jwtest::RawSocket>> floods;
        std::vector<qint64> sent(count);
        auto drawing = [](int i) {
            return j("{'type':'whiteboard.drawing','from':'b") + QByteArray::number(i) +
                   j("','x':1,'y':1}");
        };
        for (int i = 0; i < count; ++i) {
            floods.push_back(std::make_unique<jwtest::RawSocket>(port));
            floods.back()->send(j("{'type':'login','pwd':'x','from':'b") + QByteArray::number(i) +
                                "\"}");
        }
        QVERIFY(waitUntil([&] { return users->Count() == count; }));
        // Written until the kernel takes nothing more for a while: the server no
        // longer reads them.
        QElapsedTimer quiet, total;
        quiet.start(), total.start();
        while (quiet.elapsed() < 300 && total.elapsed() < 20000) {
            bool any = false;
            for (int i = 0; i < count; ++i) {
                const qint64 before = sent[i];
                any |= (sent[i] = offerMore(*floods[i], drawing(i), before)) > before;
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
        qint64 drawn = 0;
        for (int i = 0; i < count; ++i)
            drawn += sent[i] / drawing(i).size();
        release();
        QTRY_COMPARE_WITH_TIMEOUT(countOf("board"), int(drawn), 30000);
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
                                  drawing.repeated(kMax + 10)));
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

    // A controller that reads gets every reply, however many it asks for at once:
    // replies held back for one write leave once they pass a size, and a slow
    // reader is only slowed down (one that never reads is the load suite's case).
    void readersAreServed_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("readBuffer"); // 0: the system's
        QTest::addColumn<int>("pauseMs");    // between reads
        QTest::newRow("large replies, read all the time")
            << j("{'type':'file.list','from':'r','id':'") + QByteArray(20000, 'i') + "\"}" << 200
            << 0 << 0;
        // 3.9 MB of replies read 16 KiB at a time.
        QTest::newRow("slow reader") << kFileList << 20000 << 16384 << 5;
    }
    void readersAreServed()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, count);
        QFETCH(int, readBuffer);
        QFETCH(int, pauseMs);
        jwtest::RawSocket reader;
        if (readBuffer)
            reader.setReceiveBuffer(readBuffer);
        QVERIFY(reader.connect(port));
        const QByteArray all = request.repeated(count);
        qint64 sent = 0, replies = 0;
        JsonObjectScanner scanner;
        QElapsedTimer t;
        for (t.start(); replies < count && t.elapsed() < 30000; QThread::msleep(pauseMs)) {
            if (sent < all.size())
                sent += reader.offer(all.mid(int(sent), 65536));
            for (char c : reader.read(1, 1, readBuffer ? readBuffer : 65536))
                replies += scanner.step(c) == JsonObjectScanner::ObjectEnd;
        }
        QCOMPARE(replies, qint64(count));
    }
};

QTEST_GUILESS_MAIN(TestOrdering)
#include "tst_ordering.moc"
