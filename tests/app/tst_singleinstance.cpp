// The first copy keeps the lock and hears from later copies; identities that
// differ (another data folder) never meet.
#include "app/singleinstance.h"
#include "host/instancelock.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

class TestSingleInstance : public QObject
{
    Q_OBJECT
private slots:
    void secondCopySendsTheMessageToTheFirst()
    {
        const QString identity = QStringLiteral("test-identity-") + QString::number(getpid());
        SingleInstance first(identity);
        QVERIFY(!first.isRunning());
        QSignalSpy received(&first, &SingleInstance::messageReceived);

        SingleInstance second(identity);
        QVERIFY(second.isRunning());

        // The first copy answers from its event loop, so the sender runs elsewhere.
        bool delivered = false;
        std::unique_ptr<QThread> sender(QThread::create(
            [&] { delivered = SingleInstance(identity).sendMessage("jwshow", 5000); }));
        sender->start();
        QTRY_COMPARE_WITH_TIMEOUT(received.count(), 1, 10000);
        QVERIFY(sender->wait(10000));
        QVERIFY(delivered);
        QCOMPARE(received.at(0).at(0).toString(), QStringLiteral("jwshow"));

        SingleInstance other(identity + "-elsewhere");
        QVERIFY(!other.isRunning());
        QVERIFY(other.key() != first.key());
    }

    void noListenerMeansNoDelivery()
    {
        SingleInstance lone(QStringLiteral("nobody-listens-") + QString::number(getpid()));
        QVERIFY(!lone.sendMessage("jwshow", 500));
    }

    void lockOfADeadCopyIsTakenOver()
    {
        const QString identity = QStringLiteral("stale-") + QString::number(getpid());
        // A child takes the lock and dies without any clean-up.
        const pid_t child = fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            SingleInstance held(identity);
            _exit(held.isRunning() ? 3 : 0); // exits without releasing anything
        }
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 0);

        SingleInstance next(identity);
        QVERIFY(!next.isRunning());
    }

    void namedLockExcludesOtherProcessesAndDiesWithTheOwner()
    {
        QTemporaryDir dir;
        const std::string folder = dir.path().toStdString();
        int toParent[2];
        QVERIFY(pipe(toParent) == 0);
        const pid_t child = fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            const char ok = host::AcquireInstanceLock(folder, "JWSHOW") ? 'y' : 'n';
            (void)!write(toParent[1], &ok, 1);
            pause(); // held until killed
            _exit(0);
        }
        char answer = 0;
        QCOMPARE(read(toParent[0], &answer, 1), ssize_t(1));
        QCOMPARE(answer, 'y');
        QVERIFY(!host::AcquireInstanceLock(folder, "JWSHOW"));
        QVERIFY(host::AcquireInstanceLock(folder, "JWSHOW-other"));

        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        QVERIFY(host::AcquireInstanceLock(folder, "JWSHOW"));
        close(toParent[0]);
        close(toParent[1]);
    }
};

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
