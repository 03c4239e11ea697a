// The real program under load: more controllers than a select() set holds, an
// object that never closes and a flood of valid packets, after which it must still
// answer and must not have grown without bound, and a quit in the middle of a flood.

#include "e2eutil.h"
#include "jwinstance.h"

#include <QtTest>
#include <arpa/inet.h>
#include <atomic>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace jwtest;
using namespace e2e;

class TestE2eLoad : public QObject
{
    Q_OBJECT
    std::unique_ptr<JwInstance> prog_;

private slots:
    void initTestCase()
    {
        JwInstanceOptions o;
        o.withoutCompanion = true;
        prog_ = std::make_unique<JwInstance>(o);
        QVERIFY2(prog_->start(), qPrintable(prog_->errorString()));
    }
    void cleanupTestCase() { QCOMPARE(prog_->stop(), 0); }
    void manyControllersAtOnce();
    void floodsLeaveProgramServing();
    void quitWhileFlooded();
};

void TestE2eLoad::manyControllersAtOnce()
{
    const int count = 160;
    std::vector<std::unique_ptr<Controller>> cs;
    for (int i = 0; i < count; ++i) {
        cs.push_back(std::make_unique<Controller>(prog_->port()));
        QVERIFY2(cs.back()->connectToHost(), qPrintable(QString::number(i)));
        QCOMPARE(cs.back()->greeting(), expectedGreeting());
    }
    // All requests out first, then all replies in: every connection is served.
    for (int i = 0; i < count; ++i) {
        const QByteArray id = QByteArray::number(i);
        QVERIFY(cs[i]->sendRaw(R"({"type":"mode","id":")" + id + R"(","from":"c)" + id +
                               R"(","value":"x"})"));
    }
    for (int i = 0; i < count; ++i) {
        const QByteArray id = QByteArray::number(i);
        QCOMPARE(cs[i]->nextReply(10000), envelope(id, "c" + id, "mode", "-1", "unknown mode::x"));
    }
    QCOMPARE(tokenOf(cs.back()->login("last", "L", "pw")).size(), 6);
}

void TestE2eLoad::floodsLeaveProgramServing()
{
    {
        Controller warm(prog_->port());
        QVERIFY(warm.connectToHost());
        QVERIFY(!warm.login("warm", "W", "pw").isEmpty());
    }
    const qint64 rssBefore = rssKiB(prog_->pid());
    QVERIFY(rssBefore > 0);
    QElapsedTimer t;
    t.start();

    // An object that never closes: the program must not keep all of it.
    Controller flood(prog_->port());
    QVERIFY(flood.connectToHost(10000));
    const QByteArray block = "{\"a\":\"" + QByteArray(1 << 20, 'a');
    int blocks = 0;
    while (blocks < 64 && t.elapsed() < 5500 && flood.sendRaw(block, 2000))
        ++blocks;
    qInfo("flood: %d MiB of one unclosed object", blocks);

    // Valid packets written much faster than they are handled (their replies read
    // at once): the program reads only as fast as it dispatches, so its queue, and
    // its memory, stay small.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{AF_INET, htons(prog_->port()), {htonl(INADDR_LOOPBACK)}, {}};
    QVERIFY(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0);
    std::atomic<qint64> peak{0};
    std::thread reader([&] {
        char buf[65536];
        for (qint64 n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
            peak = qMax(peak.load(), rssKiB(prog_->pid()));
    });
    QByteArray modes;
    while (modes.size() < (1 << 20))
        modes += R"({"type":"mode","id":"f","from":"fast","value":"show"})";
    for (int mib = 0; mib < 12; ++mib)
        QVERIFY(::send(fd, modes.constData(), size_t(modes.size()), MSG_NOSIGNAL) == modes.size());
    ::shutdown(fd, SHUT_WR); // having read to the end, the program closes the connection
    reader.join();
    ::close(fd);
    qInfo("valid flood: peak RSS %lld KiB", peak.load());

    Controller after(prog_->port());
    QVERIFY(after.connectToHost(10000));
    QCOMPARE(after.greeting(), expectedGreeting());
    QCOMPARE(after.request({{"type", "file.close"}, {"id", "end"}, {"from", "after"}}, 10000),
             QByteArray(R"({"desc":" ","from":"jwshow","id":"end","ret":"0","to":" ",)"
                        R"("type":"file.close"})"));
    const qint64 rssAfter = qMax(peak.load(), rssKiB(prog_->pid()));
    QVERIFY2(!jwtest::kMemoryBounded || rssAfter - rssBefore < 48 * 1024,
             qPrintable(QStringLiteral("RSS grew from %1 to %2 KiB").arg(rssBefore).arg(rssAfter)));
}

// SIGTERM while controllers flood it with work for the windows: the program stops
// its workers before its windows go, and ends cleanly with code 0.
void TestE2eLoad::quitWhileFlooded()
{
    JwInstanceOptions o;
    o.withoutCompanion = true;
    for (int round = 0; round < 3; ++round) {
        JwInstance prog(o);
        QVERIFY2(prog.start(), qPrintable(prog.errorString()));
        QByteArray work;
        for (int i = 0; i < 2000; ++i)
            work +=
                R"({"type":"mode","from":"q","value":"show"}{"type":"mode","from":"q","value":"remote"})"
                R"({"type":"whiteboard.drawing","from":"q","x":5,"y":5})"
                R"({"type":"login","from":"q)" +
                QByteArray::number(i) + R"(","pwd":"x"})";
        std::vector<std::unique_ptr<Controller>> cs;
        for (int k = 0; k < 3; ++k) {
            cs.push_back(std::make_unique<Controller>(prog.port()));
            QVERIFY(cs.back()->connectToHost() && cs.back()->sendRaw(work));
        }
        QCOMPARE(prog.stop(), 0);
    }
}

QTEST_GUILESS_MAIN(TestE2eLoad)
#include "tst_e2e_load.moc"
