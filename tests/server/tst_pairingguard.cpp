// The pairing guard on a clock of the test's own: an address's lock-out, the
// addresses a full table cannot take, and the pause after wrong codes from many
// addresses together.

#include "base/appglobals.h"
#include "server/pairingguard.h"

#include <QSignalSpy>
#include <QtTest>

using Verdict = PairingGuard::Verdict;
Q_DECLARE_METATYPE(Verdict)

namespace
{
constexpr qint64 kLock = 1000;
const QString kRight = QStringLiteral("135790");
} // namespace

class TestPairingGuard : public QObject
{
    Q_OBJECT
    qint64 now = 0;
    std::unique_ptr<PairingGuard> guard;

    // `count` wrong codes from host<first> ... host<first + hosts - 1>, in turns.
    void wrong(int count, int hosts = 1, int first = 0, qint64 stepMs = 0)
    {
        for (int i = 0; i < count; ++i, now += stepMs)
            guard->offer(QStringLiteral("10.0.0.%1").arg(first + i % hosts), "000000");
    }
    Verdict right(int host) { return guard->offer(QStringLiteral("10.0.0.%1").arg(host), kRight); }

private slots:
    void init()
    {
        g_auth = kRight;
        now = 0;
        guard = std::make_unique<PairingGuard>(
            kLock, [this] { return now; }, 8);
    }

    // host 0 offers wrong codes, then after `waitMs` the right one; host 7 the right one.
    void lockOut_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("hosts");
        QTest::addColumn<qint64>("stepMs");
        QTest::addColumn<qint64>("waitMs");
        QTest::addColumn<Verdict>("host0");
        QTest::addColumn<Verdict>("host7");
        QTest::newRow("4 wrong") << 4 << 1 << 0LL << 0LL << Verdict::Paired << Verdict::Paired;
        QTest::newRow("5 wrong: locked")
            << 5 << 1 << 0LL << 0LL << Verdict::Locked << Verdict::Paired;
        QTest::newRow("5 wrong, lock nearly over")
            << 5 << 1 << 0LL << kLock - 1 << Verdict::Locked << Verdict::Paired;
        QTest::newRow("5 wrong, lock over")
            << 5 << 1 << 0LL << kLock << Verdict::Paired << Verdict::Paired;
        QTest::newRow("5 wrong over more than the window")
            << 5 << 1 << kLock / 4 << 0LL << Verdict::Paired << Verdict::Paired;
        QTest::newRow("20 wrong from 5 hosts")
            << 20 << 5 << 0LL << 0LL << Verdict::Paired << Verdict::Paired;
        QTest::newRow("21 wrong from 6 hosts: paused")
            << 21 << 6 << 0LL << 0LL << Verdict::Locked << Verdict::Locked;
        QTest::newRow("21 wrong over more than the window")
            << 21 << 6 << kLock / 20 << 0LL << Verdict::Paired << Verdict::Paired;
        QTest::newRow("pause over")
            << 21 << 6 << 0LL << kLock << Verdict::Paired << Verdict::Paired;
    }
    void lockOut()
    {
        QFETCH(int, count);
        QFETCH(int, hosts);
        QFETCH(qint64, stepMs);
        QFETCH(qint64, waitMs);
        QFETCH(Verdict, host0);
        QFETCH(Verdict, host7);
        wrong(count, hosts, 0, stepMs);
        now += waitMs;
        QCOMPARE(guard->isLocked("10.0.0.7"), host7 == Verdict::Locked);
        QCOMPARE(right(7), host7);
        QCOMPARE(right(0), host0);
    }

    // Two addresses taking turns once the table was full used to push each other's
    // records out, and so never reached five; a newcomer is now refused unseen.
    void fullTableTakesNoNewcomer()
    {
        guard = std::make_unique<PairingGuard>(
            kLock, [this] { return now; }, 2);
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
        QCOMPARE(paused.count(), 1);
        QCOMPARE(guard->pauseLeftMs(), kLock);
        now += kLock / 2;
        QCOMPARE(right(30), Verdict::Locked);
        wrong(30, 6);
        QCOMPARE(guard->pauseLeftMs(), kLock / 2);
        now += kLock / 2;
        QCOMPARE(guard->pauseLeftMs(), 0LL);
        QCOMPARE(right(30), Verdict::Paired);
        wrong(1);
        QCOMPARE(right(1), Verdict::Paired); // the wrong codes before the pause are gone
        QCOMPARE(paused.count(), 1);
    }
};

QTEST_GUILESS_MAIN(TestPairingGuard)
#include "tst_pairingguard.moc"
