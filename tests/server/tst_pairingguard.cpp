// The pairing guard on a clock of the test's own: an address's lock-out, the
// addresses a full table cannot take, and the pause after wrong codes from many
// addresses together.

#include "base/appinfo.h"
#include "server/pairingguard.h"

#include <QSignalSpy>
#include <QtTest>

using Verdict = PairingGuard::Verdict;

class TestPairingGuard : public QObject
{
    Q_OBJECT
    static constexpr qint64 kLock = 1000;
    inline static const QString kCode = QStringLiteral("135790");
    qint64 now = 0;
    std::unique_ptr<PairingGuard> guard;

    // `count` wrong codes from hosts first, first + 1, ... first + hosts - 1 in turns.
    void wrong(int count, int hosts = 1, int first = 0, qint64 stepMs = 0)
    {
        for (int i = 0; i < count; ++i, now += stepMs)
            guard->offer(QStringLiteral("10.0.0.%1").arg(first + i % hosts), "000000");
    }
    Verdict right(int host) { return guard->offer(QStringLiteral("10.0.0.%1").arg(host), kCode); }

private slots:
    void init()
    {
        now = 0;
        guard = std::make_unique<PairingGuard>(
            kCode, kLock, [this] { return now; }, 8);
    }

    // Wrong codes from `hosts` hosts in turns, `stepMs` apart, then after `waitMs` the
    // right one from host 0 (a guesser) and host 7 (a bystander); "P": paired, "L": locked.
    void lockOut()
    {
        const struct {
            const char* name;
            int count, hosts;
            qint64 stepMs, waitMs;
            QString expected;
        } rows[] = {{"5 wrong: locked", 5, 1, 0, 0, "LP"},
                    {"5 wrong, lock over", 5, 1, 0, kLock, "PP"},
                    {"5 wrong over more than the window", 5, 1, kLock / 4, 0, "PP"},
                    {"20 wrong from 5 hosts", 20, 5, 0, 0, "PP"},
                    {"21 wrong from 6 hosts: paused", 21, 6, 0, 0, "LL"},
                    {"21 wrong over more than the window", 21, 6, kLock / 20, 0, "PP"},
                    {"pause over", 21, 6, 0, kLock, "PP"}};
        for (const auto& r : rows) {
            init();
            wrong(r.count, r.hosts, 0, r.stepMs);
            now += r.waitMs;
            QString got = guard->isLocked("10.0.0.7") ? "L" : "P"; // as the bystander will find
            for (int host : {0, 7})
                got += right(host) == Verdict::Paired ? 'P' : 'L';
            QVERIFY2(got == r.expected[1] + r.expected, qPrintable(r.name + (": " + got)));
        }
    }

    // Two addresses taking turns once the table was full used to push each other's
    // records out, and so never reached five; a newcomer is now refused unseen.
    void fullTableTakesNoNewcomer()
    {
        guard = std::make_unique<PairingGuard>(
            kCode, kLock, [this] { return now; }, 2);
        wrong(5);        // host 0 locked
        wrong(10, 2, 1); // host 1 fills the table; host 2 takes turns with it
        QVERIFY(guard->isLocked("10.0.0.2"));
        QCOMPARE(right(2), Verdict::Locked);
        QCOMPARE(right(1), Verdict::Locked); // five wrong codes of its own
        now += kLock;
        QCOMPARE(right(2), Verdict::Paired);
    }

    // Nothing offered during a pause counts: neither extends it.
    void pauseIsNotExtended()
    {
        QSignalSpy paused(guard.get(), &PairingGuard::paused);
        wrong(21, 6);
        QCOMPARE(guard->pauseLeftMs(), kLock);
        now += kLock / 2;
        QCOMPARE(right(30), Verdict::Locked);
        wrong(30, 6);
        QCOMPARE(guard->pauseLeftMs(), kLock / 2);
        now += kLock / 2;
        QCOMPARE(right(30), Verdict::Paired);
        wrong(1);
        QCOMPARE(right(1), Verdict::Paired); // the wrong codes before the pause are gone
        QCOMPARE(paused.count(), 1);
    }
};

QTEST_GUILESS_MAIN(TestPairingGuard)
#include "tst_pairingguard.moc"
