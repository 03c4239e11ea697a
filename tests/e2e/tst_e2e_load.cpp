// The real program under load and faults, loopback only, bounded in count and time.
// After each case it must be as before: alive, a fresh login answered, its GUI
// thread answering a second start, memory back within 10 % and no descriptor left.

#include "e2eutil.h"
#include "httpserver.h"
#include "jwinstance.h"

#include <QDir>
#include <QRandomGenerator>
#include <QtTest>
#include <sys/resource.h>
#include <thread>

using namespace jwtest;
using namespace e2e;

namespace
{
QStringList fds(qint64 pid) // what the program's descriptors point at
{
    const QDir d(QStringLiteral("/proc/%1/fd").arg(pid));
    QStringList out;
    for (const QString& f : d.entryList(QDir::NoDotAndDotDot | QDir::System))
        out << QFile::symLinkTarget(d.filePath(f)).section('/', -1);
    return out;
}

QByteArray packet(const char* type, int i, const QByteArray& more = {})
{
    return "{\"type\":\"" + QByteArray(type) + "\",\"id\":\"" + QByteArray::number(i) +
           "\",\"from\":\"p" + QByteArray::number(i) + '"' + more + '}';
}

// Opened by 16 threads: a connect whose SYN this sandbox drops waits a second.
std::vector<std::unique_ptr<RawSocket>> openMany(int n, quint16 port)
{
    std::vector<std::unique_ptr<RawSocket>> all{size_t(n)};
    std::vector<std::thread> openers;
    for (int t = 0; t < 16; ++t)
        openers.emplace_back([&, t] {
            for (int i = t; i < n; i += 16)
                all[size_t(i)] = std::make_unique<RawSocket>(port);
        });
    for (std::thread& t : openers)
        t.join();
    return all;
}

// The greeting, then a login as p<i>: its round trip in ms (unanswered: beyond any bound).
qint64 logIn(const RawSocket& phone, int i)
{
    if (phone.read(1, 10000).isEmpty())
        return 999999;
    QElapsedTimer t;
    t.start();
    const bool ok = phone.send(packet("login", i, ",\"pwd\":\"x\"")) &&
                    phone.read(1, 10000).contains("\"token\"");
    return ok ? t.elapsed() : 999999;
}
} // namespace

class TestE2eLoad : public QObject
{
    Q_OBJECT
    std::unique_ptr<JwInstance> prog_;
    qint64 rssStart_ = 0;
    rlim_t fileLimit_ = 0;
    int fdsStart_ = 0;

    qint64 peakRss(int samples, qint64 peak = 0) // one every 100 ms
    {
        for (int i = 0; i < samples; ++i, QTest::qWait(100))
            peak = qMax(peak, rssKiB(prog_->pid()));
        return peak;
    }
    // The program as it was, once what a case left has been worked off within
    // settleMs. (A login once took 200 s after a churn; a second start went unanswered.)
    void checkHealthy(int settleMs = 5000)
    {
        QVERIFY2(prog_->isRunning(), "the program is gone");
        const qint64 pid = prog_->pid();
        QTRY_VERIFY2_WITH_TIMEOUT(fds(pid).size() <= fdsStart_, qPrintable(fds(pid).join(' ')),
                                  settleMs);
        QTRY_VERIFY2_WITH_TIMEOUT(!kMemoryBounded || rssKiB(pid) <= rssStart_ * 11 / 10,
                                  qPrintable(QString::number(rssKiB(pid))), settleMs);
        const qint64 ms = logIn(RawSocket(prog_->port()), 0);
        QVERIFY2(ms < 1000, qPrintable(QStringLiteral("fresh login: %1 ms").arg(ms)));
        QVERIFY2(prog_->secondStartAnswered(5000), "the GUI thread does not answer a second start");
        qInfo("after %s: RSS %lld KiB (start %lld), %d descriptors", QTest::currentTestFunction(),
              rssKiB(pid), rssStart_, int(fds(pid).size()));
    }

private slots:
    void initTestCase()
    {
        // Room for 1,024 connections here and in the program, which inherits it.
        rlimit files{};
        ::getrlimit(RLIMIT_NOFILE, &files);
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, 4096);
        ::setrlimit(RLIMIT_NOFILE, &files);
        fileLimit_ = files.rlim_cur;
        JwInstanceOptions o;
        o.withoutCompanion = true; // its keep-alives would change rc_port under our feet
        prog_ = std::make_unique<JwInstance>(o);
        QVERIFY2(prog_->start(), qPrintable(prog_->errorString()));
        // Every kind of work done once: what stays after a case is then its own.
        for (int round = 0; round < 2; ++round) {
            Controller warm(prog_->port());
            QVERIFY(warm.connectToHost() && !warm.login("warm").isEmpty());
            QVERIFY(warm.sendRaw(j("{'type':'whiteboard.start','from':'warm'}{'type':'whiteboard."
                                   "drawing','from':'warm','x':5,'y':5}{'type':'whiteboard.end',"
                                   "'from':'warm'}")));
            for (const char* type : {"file.list", "show.image", "show.video"})
                QVERIFY(!warm.request(
                                 {{"type", type}, {"from", "warm"}, {"url", "http://127.0.0.1:1/"}})
                             .isEmpty());
            QTest::qWait(300);
        }
        QTest::qWait(500);
        rssStart_ = rssKiB(prog_->pid());
        fdsStart_ = fds(prog_->pid()).size();
        QVERIFY(rssStart_ > 0 && fdsStart_ > 0);
    }
    void cleanupTestCase() { QCOMPARE(prog_->stop(5000), 0); } // SIGTERM is an orderly quit
    // Bounded stores (the log window's newest records) fill up over the suite: no leak.
    void init() { rssStart_ = rssKiB(prog_->pid()); }

    // Past 1,024 connections a phone from another host gets in: the host holding most
    // that never logged in gives up its oldest. Those held (16 KiB of an unfinished
    // packet each) cost what the limit allows and go after 30 s.
    void connectionsPastTheLimit()
    {
        constexpr int kLimit = 1024;
        if (fileLimit_ < 2 * kLimit + 200)
            QSKIP("the descriptor limit is too low for this case");
        QElapsedTimer sinceOpened;
        sinceOpened.start();
        const auto held = openMany(kLimit, prog_->port());
        for (const auto& s : held)
            QVERIFY(s->send("{\"a\":\"" + QByteArray(16 * 1024, 'x')));
        QVERIFY(!held.back()->read(1, 10000).isEmpty()); // held ones are greeted
        RawSocket phone(prog_->port(), "127.0.0.2");
        QVERIFY(logIn(phone, 1) < 10000);
        auto closed = [&held] {
            return std::count_if(held.begin(), held.end(),
                                 [](auto& s) { return s->closedByPeer(); });
        };
        QTRY_VERIFY_WITH_TIMEOUT(closed() >= 1, 5000);
        // Only the oldest gave way (near their 30 s, under a sanitizer, more may go).
        if (sinceOpened.elapsed() < 25000)
            QCOMPARE(closed(), 1L);
        const qint64 rss = peakRss(10); // once the server has read what they sent
        QVERIFY2(!kMemoryBounded || rss < rssStart_ + 64 * 1024, qPrintable(QString::number(rss)));
        QTRY_COMPARE_WITH_TIMEOUT(closed(), long(kLimit), 45000);
        QVERIFY(!phone.closedByPeer());
        phone.close();
        checkHealthy();
    }

    // 1,000 connections writing 80 KiB of "{}" each: what waits is charged what it
    // costs (memory stays bounded), and a phone from another host is answered at once.
    void tinyPacketFlood()
    {
        constexpr int kConnections = 1000;
        if (fileLimit_ < 2 * kConnections + 200)
            QSKIP("the descriptor limit is too low for this case");
        // A sanitizer's program works them off ten times slower: it gets a fifth.
        const QByteArray braces = QByteArray("{}").repeated(kMemoryBounded ? 40 * 1024 : 8 * 1024);
        auto flood = openMany(kConnections, prog_->port());
        std::vector<std::thread> writers;
        for (int t = 0; t < 16; ++t) // all at once
            writers.emplace_back([&, t] {
                for (int i = t; i < kConnections; i += 16)
                    flood[size_t(i)]->send(braces);
            });
        qint64 peak = 0, slowest = 0;
        for (int i = 0; i < 10; ++i, QTest::qWait(100)) {
            peak = qMax(peak, rssKiB(prog_->pid()));
            slowest = qMax(slowest, logIn(RawSocket(prog_->port(), "127.0.0.3"), i));
        }
        for (std::thread& t : writers)
            t.join();
        peak = peakRss(20, peak);
        QVERIFY2(!kMemoryBounded || peak < rssStart_ + 96 * 1024,
                 qPrintable(QString::number(peak)));
        QVERIFY2(slowest < 2000, qPrintable(QString::number(slowest))); // before: 5 to 8.8 s
        flood.clear(); // what they sent (seconds' worth) is worked off before their closes
        checkHealthy(60000);
    }

    // A board fed 400,000 scattered points (200 MiB if all were kept) holds what its
    // budget allows; closed, it leaves nothing.
    void boardFloodIsBounded()
    {
        Controller c(prog_->port());
        QVERIFY(c.connectToHost() && !c.login("painter").isEmpty());
        auto board = [](const char* type, const QByteArray& more = {}) {
            return j("{'type':'whiteboard.") + type + j("','from':'painter'") + more + '}';
        };
        QVERIFY(c.sendRaw(board("start")));
        QRandomGenerator rnd(7);
        qint64 peak = 0;
        for (int burst = 0; burst < 40; ++burst) {
            QByteArray points = board("draw.start");
            for (int i = 0; i < 10000; ++i)
                points += board("drawing", ",\"x\":" + QByteArray::number(rnd.bounded(1000)) +
                                               ",\"y\":" + QByteArray::number(rnd.bounded(1000)));
            // A writer whose work waits for the GUI thread is not read meanwhile.
            QVERIFY(c.sendRaw(points + board("draw.end"), 60000));
            peak = qMax(peak, rssKiB(prog_->pid()));
        }
        QVERIFY(!c.request({{"type", "file.list"}, {"id", "f"}, {"from", "painter"}}).isEmpty());
        peak = peakRss(20, peak);
        QVERIFY2(!kMemoryBounded || peak < rssStart_ + 120 * 1024,
                 qPrintable(QString::number(peak)));
        QVERIFY(c.sendRaw(board("end")));
        c.socket().abort();
        checkHealthy();
    }

    // Picture servers sending gigabytes, said or unsaid, are given up at the bound.
    void hostilePictureServers()
    {
        TestHttpServer http;
        QVERIFY(http.start());
        TestHttpServer::Route endless{{}, "image/png", 200, 0, false, -1, 1 << 20, 1};
        http.setRoute("/endless", endless);
        endless.declaredLength = qint64(4) << 30;
        http.setRoute("/huge", endless);
        Controller c(prog_->port());
        QVERIFY(c.connectToHost() && !c.login("pictures").isEmpty());
        qint64 peak = 0;
        for (const char* path : {"/endless", "/huge"}) {
            QVERIFY(
                c.send({{"type", "show.image"}, {"from", "pictures"}, {"url", http.url(path)}}));
            QTRY_VERIFY2_WITH_TIMEOUT((peak = qMax(peak, rssKiB(prog_->pid())),
                                       http.log().requests.contains(path) && !http.log().open),
                                      path, 4000);
        }
        QVERIFY2(!kMemoryBounded || peak < rssStart_ + 128 * 1024,
                 qPrintable(QString::number(peak)));
        c.socket().abort();
        checkHealthy();
    }

    // Last. For three seconds phones log in, show the window and leave from four
    // hosts, while two more reset both doors as vanished phones do (half a packet,
    // a login, half a head): nothing of them stays and the program then quits
    // within five seconds (the clean-up).
    void joinAndLeaveChurn()
    {
        const quint16 tcp = prog_->port(), web = tcp + 2;
        std::atomic<bool> stop{false};
        std::atomic<int> cycles{0};
        auto churn = [&](int host) {
            const QByteArray from = "127.0.1." + QByteArray::number(host);
            for (int i = 0; !stop; ++i, ++cycles) {
                RawSocket s(i % 3 == 2 && host > 4 ? web : tcp, from.constData());
                if (host > 4) { // reset, or this side's ports would wait in TIME_WAIT
                    s.send(i % 3 == 0   ? QByteArray("{\"type\":\"login\",\"from\":\"churn")
                           : i % 3 == 1 ? packet("login", i, ",\"pwd\":\"x\"")
                                        : QByteArray("GET / HTTP/1.1\r\nHost: x\r\n"));
                    s.reset();
                    continue;
                }
                s.send(packet("login", host * 100000 + i, ",\"pwd\":\"x\"") +
                       "{\"type\":\"mode\",\"value\":\"show\"}");
                QByteArray got, more; // both answered
                while (got.count('}') < 2 && !(more = s.read(1)).isEmpty())
                    got += more;
            }
        };
        std::vector<std::thread> phones;
        for (int host = 1; host <= 6; ++host)
            phones.emplace_back(churn, host);
        QTest::qWait(3000);
        stop = true;
        for (std::thread& t : phones)
            t.join();
        qInfo("%d connections came and went", cycles.load());
        checkHealthy();
    }
};

QTEST_GUILESS_MAIN(TestE2eLoad)
#include "tst_e2e_load.moc"
