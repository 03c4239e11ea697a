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

    // Wrong codes, then after `waitMs` the right one from host 0 (a guesser) and
    // host 7 (a bystander); "P": paired, "L": refused as locked.
    void lockOut_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("hosts");
        QTest::addColumn<qint64>("stepMs");
        QTest::addColumn<qint64>("waitMs");
        QTest::addColumn<QString>("expected");
        QTest::newRow("5 wrong: locked") << 5 << 1 << 0LL << 0LL << "LP";
        QTest::newRow("5 wrong, lock over") << 5 << 1 << 0LL << kLock << "PP";
        QTest::newRow("5 wrong over more than the window") << 5 << 1 << kLock / 4 << 0LL << "PP";
        QTest::newRow("20 wrong from 5 hosts") << 20 << 5 << 0LL << 0LL << "PP";
        QTest::newRow("21 wrong from 6 hosts: paused") << 21 << 6 << 0LL << 0LL << "LL";
        QTest::newRow("21 wrong over more than the window") << 21 << 6 << kLock / 20 << 0LL << "PP";
        QTest::newRow("pause over") << 21 << 6 << 0LL << kLock << "PP";
    }
    void lockOut()
    {
        QFETCH(int, count);
        QFETCH(int, hosts);
        QFETCH(qint64, stepMs);
        QFETCH(qint64, waitMs);
        QFETCH(QString, expected);
        wrong(count, hosts, 0, stepMs);
        now += waitMs;
        const bool bystanderLocked = guard->isLocked("10.0.0.7");
        QString got;
        for (int host : {0, 7})
            got += right(host) == Verdict::Paired ? 'P' : 'L';
        QCOMPARE(got, expected);
        QCOMPARE(bystanderLocked, expected[1] == 'L');
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
