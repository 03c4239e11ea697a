// jwshowctl against a small fake program: what it sends, what it prints, and how
// it ends.

#include "jwinstance.h"

#include <QProcess>
#include <QtTest>

#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace jwtest;

namespace
{

const QString kCtl = QStringLiteral(JW_BIN_DIR "/jwshowctl");

// A one-connection fake of the program on a blocking socket of its own thread:
// greets, collects the objects the client sends, and once it has `expect` of
// them answers them all in one write (replies back to back, as the program does),
// followed by an unsolicited report in a later write.
class FakeProgram
{
public:
    explicit FakeProgram(int expect) : expect_(expect)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), len) == 0 && ::listen(fd_, 4) == 0 &&
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeProgram()
    {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    quint16 port() const { return port_; }
    QByteArray received() const { return received_; } // valid after the client ended

    static QByteArray replyFor(int k) { return "{\"n\":\"" + QByteArray::number(k) + "\"}"; }
    static QByteArray report()
    {
        return R"({"act":"status","from":"jwshow","id":"000000","to":"x","type":"show.video.info","value":"playing"})";
    }

private:
    bool waitReadable(int fd, int ms)
    {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, ms) > 0;
    }
    void serve()
    {
        while (!stop_ && !waitReadable(fd_, 50)) {
        }
        if (stop_)
            return;
        const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        const QByteArray greeting = "jwshow-1.0.4.111-fakehost";
        ::send(c, greeting.constData(), size_t(greeting.size()), MSG_NOSIGNAL);
        bool answered = false;
        while (!stop_) {
            if (!waitReadable(c, 50))
                continue;
            char buf[4096];
            const ssize_t n = ::recv(c, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            received_.append(buf, int(n));
            if (!answered && received_.count('{') >= expect_) {
                answered = true;
                QByteArray all;
                for (int k = 1; k <= expect_; ++k)
                    all += replyFor(k);
                ::send(c, all.constData(), size_t(all.size()), MSG_NOSIGNAL);
                ::usleep(50000);
                ::send(c, report().constData(), size_t(report().size()), MSG_NOSIGNAL);
            }
        }
        ::close(c);
    }

    int expect_;
    int fd_ = -1;
    quint16 port_ = 0;
    std::atomic<bool> stop_{false};
    QByteArray received_;
    std::thread thread_;
};

struct Run {
    int code;
    QByteArray out, err;
};

Run runCtl(const QStringList& args, const QByteArray& input = QByteArray(), bool closeIn = true)
{
    QProcess p;
    p.start(kCtl, args);
    p.waitForStarted(5000);
    if (!input.isEmpty())
        p.write(input);
    if (closeIn)
        p.closeWriteChannel();
    if (!p.waitForFinished(10000)) {
        p.kill();
        p.waitForFinished(2000);
        return {-1, p.readAllStandardOutput(), p.readAllStandardError()};
    }
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
            p.readAllStandardError()};
}

} // namespace

class TestJwShowCtl : public QObject
{
    Q_OBJECT
private slots:
    void refusedConnectionExitsTwo()
    {
        const quint16 port = freePort(); // nobody listens there
        const Run r = runCtl({"--port", QString::number(port), "mode", "show"});
        QCOMPARE(r.code, 2);
        QCOMPARE(r.out, QByteArray());
        QVERIFY2(r.err.contains("cannot connect to 127.0.0.1:" + QByteArray::number(port)),
                 r.err.constData());
    }

    void usageErrorsExitTwo_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("unknown option") << QStringList{"--bogus"};
        QTest::newRow("port not a number") << QStringList{"--port", "x"};
        QTest::newRow("port out of range") << QStringList{"--port", "70000"};
        QTest::newRow("not an object") << QStringList{"--port", "1", "[1,2]"};
        QTest::newRow("broken json") << QStringList{"--port", "1", "{\"type\":"};
        QTest::newRow("unknown word") << QStringList{"--port", "1", "dance"};
        QTest::newRow("login without from") << QStringList{"--port", "1", "--login", ",a,b"};
    }
    void usageErrorsExitTwo()
    {
        QFETCH(QStringList, args);
        const Run r = runCtl(args);
        QCOMPARE(r.code, 2);
        QVERIFY(r.err.contains("usage: jwshowctl"));
    }

    // Login, a JSON packet and a shortcut: the exact bytes sent, then the greeting,
    // each reply and the later report printed one per line.
    void sendsPacketsAndPrintsReplies()
    {
        FakeProgram fake(3);
        QVERIFY(fake.port());
        const Run r = runCtl({"--port", QString::number(fake.port()), "--login",
                              "phone1,Phone One,secret", "--wait", "400",
                              R"({"type":"file.list","id":"9","from":"phone1"})", "mode", "show"});
        QCOMPARE(r.code, 0);
        QCOMPARE(r.err, QByteArray());
        QCOMPARE(r.out, "jwshow-1.0.4.111-fakehost\n" + FakeProgram::replyFor(1) + "\n" +
                            FakeProgram::replyFor(2) + "\n" + FakeProgram::replyFor(3) + "\n" +
                            FakeProgram::report() + "\n");
        QCOMPARE(
            fake.received(),
            QByteArray(
                R"({"from":"phone1","id":"1","name":"Phone One","pwd":"secret","type":"login"})"
                R"({"from":"phone1","id":"9","type":"file.list"})"
                R"({"from":"phone1","id":"2","type":"mode","value":"show"})"));
    }

    void readsPacketsFromStandardInput()
    {
        FakeProgram fake(2);
        const Run r =
            runCtl({"--port", QString::number(fake.port()), "--wait", "400"},
                   "{\"type\":\"mode\",\"id\":\"a\",\"from\":\"p\",\"value\":\"show\"}\n"
                   "\n"
                   "{\"type\":\"mode\",\"id\":\"b\",\"from\":\"p\",\"value\":\"remote\"}");
        QCOMPARE(r.code, 0);
        QCOMPARE(r.out, "jwshow-1.0.4.111-fakehost\n" + FakeProgram::replyFor(1) + "\n" +
                            FakeProgram::replyFor(2) + "\n" + FakeProgram::report() + "\n");
        QCOMPARE(
            fake.received(),
            QByteArray("{\"type\":\"mode\",\"id\":\"a\",\"from\":\"p\",\"value\":\"show\"}"
                       "{\"type\":\"mode\",\"id\":\"b\",\"from\":\"p\",\"value\":\"remote\"}"));
    }
};

QTEST_GUILESS_MAIN(TestJwShowCtl)
#include "tst_tools_jwshowctl.moc"
