// The real program under load: many controllers at once, a controller that never
// reads, and a seeded run of random bytes and random packets, after which it must
// still answer and must not have grown without bound.

#include "e2eutil.h"
#include "jwinstance.h"

#include <QRandomGenerator>
#include <QtTest>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

class TestE2eLoad : public QObject
{
    Q_OBJECT
    std::unique_ptr<jwtest::JwInstance> prog_;

private slots:
    void initTestCase();
    void cleanupTestCase();
    void manyControllersAtOnce();
    void controllerThatNeverReads();
    void fuzzLeavesProgramServing();
};

using namespace jwtest;
using namespace e2e;

namespace
{

// A plain blocking socket owned by the test, for what QTcpSocket hides: the
// receive buffer size and writes that must not block.
class RawSocket
{
public:
    explicit RawSocket(quint16 port, int rcvbuf = 0)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (rcvbuf > 0)
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~RawSocket()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool ok() const { return ok_; }
    // Writes what the socket takes without blocking; -1 once the peer is gone.
    qint64 writeSome(const QByteArray& b, int offset = 0)
    {
        const ssize_t n = ::send(fd_, b.constData() + offset, size_t(b.size() - offset),
                                 MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0)
            return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
        return n;
    }

private:
    int fd_ = -1;
    bool ok_ = false;
};

} // namespace

void TestE2eLoad::initTestCase()
{
    JwInstanceOptions o;
    o.withoutCompanion = true;
    prog_ = std::make_unique<JwInstance>(o);
    QVERIFY2(prog_->start(), qPrintable(prog_->errorString()));
}

void TestE2eLoad::cleanupTestCase()
{
    QCOMPARE(prog_->stop(), 0);
}

// More controllers than one select() set holds: every one is greeted and answered.
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
        QVERIFY(cs[size_t(i)]->sendRaw(R"({"type":"mode","id":")" + id + R"(","from":"c)" + id +
                                       R"(","value":"x"})"));
    }
    for (int i = 0; i < count; ++i) {
        const QByteArray id = QByteArray::number(i);
        QCOMPARE(cs[size_t(i)]->nextReply(10000),
                 envelope(id, "c" + id, "mode", "-1", "unknown mode::x"));
    }
    // The last to connect logs in like any other.
    QCOMPARE(tokenOf(cs.back()->login("last", "L", "pw")).size(), 6);
}

// A controller that sends many requests and never reads its replies must not hold
// up the replies of another controller.
void TestE2eLoad::controllerThatNeverReads()
{
    RawSocket hog(prog_->port(), 4096);
    QVERIFY(hog.ok());
    // Each request asks for a reply of about 1.6 kB (the id is echoed).
    const QByteArray one =
        R"({"type":"file.open","id":")" + QByteArray(1500, 'h') + R"(","from":"hog","path":"p"})";
    QByteArray batch;
    for (int i = 0; i < 64; ++i)
        batch += one;
    qint64 written = 0;
    QElapsedTimer t;
    t.start();
    // About 30 MB of replies: far more than the socket buffers on both sides hold.
    while (written < 30 * 1024 * 1024 && t.elapsed() < 4000) {
        int off = 0;
        while (off < batch.size() && t.elapsed() < 4000) {
            const qint64 n = hog.writeSome(batch, off);
            if (n < 0)
                break; // the program gave up on the hog: allowed
            if (n == 0)
                QThread::msleep(2);
            off += int(n);
            written += n;
        }
        if (off < batch.size())
            break;
    }
    qInfo("the hog wrote %lld bytes", written);

    Controller other(prog_->port());
    QVERIFY(other.connectToHost(10000));
    QCOMPARE(
        other.request(
            QJsonObject{{"type", "mode"}, {"id", "7"}, {"from", "reader"}, {"value", "remote"}},
            10000),
        envelope("7", "reader", "mode"));
}

void TestE2eLoad::fuzzLeavesProgramServing()
{
    const quint32 seed = 20240607;
    QRandomGenerator rng(seed);
    qInfo("fuzz seed %u", seed);

    {
        Controller warm(prog_->port());
        QVERIFY(warm.connectToHost());
        QVERIFY(!warm.login("warm", "W", "pw").isEmpty());
    }
    const qint64 rssBefore = rssKiB(prog_->pid());
    QVERIFY(rssBefore > 0);

    static const char* const kTypes[] = {"login",
                                         "logout",
                                         "mode",
                                         "show.image",
                                         "show.video",
                                         "show.video.control",
                                         "resolution",
                                         "mouse.move",
                                         "rcserver.keepalive",
                                         "file.list",
                                         "file.open",
                                         "file.close",
                                         "whiteboard.start",
                                         "whiteboard.end",
                                         "whiteboard.draw.start",
                                         "whiteboard.drawing",
                                         "whiteboard.draw.end",
                                         "whiteboard.shape",
                                         "whiteboard.color",
                                         "whiteboard.pen.width",
                                         "whiteboard.clear",
                                         "whiteboard.undo",
                                         "whiteboard.redraw",
                                         "whiteboard.string.start",
                                         "whiteboard.string.set",
                                         "whiteboard.string.end",
                                         "",
                                         "show.video.info",
                                         "zz"};
    static const char* const kKeys[] = {"id",   "from",  "to",     "name", "pwd", "value",  "act",
                                        "time", "width", "height", "x",    "y",   "r",      "g",
                                        "b",    "text",  "port",   "path", "ip",  "version"};
    auto randomText = [&rng](int maxLen) {
        QString s;
        const int n = rng.bounded(maxLen + 1);
        for (int i = 0; i < n; ++i) {
            const int kind = rng.bounded(10);
            if (kind < 6)
                s += QChar(0x20 + rng.bounded(95)); // printable ASCII, braces and quotes too
            else if (kind < 8)
                s += QChar(0x4e00 + rng.bounded(2000));
            else
                s += QChar(rng.bounded(0x20));
        }
        return s;
    };
    std::function<QJsonValue(int)> randomValue = [&](int depth) -> QJsonValue {
        switch (rng.bounded(depth > 2 ? 4 : 6)) {
        case 0:
            return randomText(40);
        case 1:
            return rng.bounded(2000000) - 1000000 + rng.generateDouble();
        case 2:
            return QJsonValue(bool(rng.bounded(2)));
        case 3:
            return QJsonValue();
        case 4: {
            QJsonArray a;
            for (int i = rng.bounded(4); i > 0; --i)
                a.append(randomValue(depth + 1));
            return a;
        }
        default: {
            QJsonObject o;
            for (int i = rng.bounded(4); i > 0; --i)
                o.insert(randomText(6), randomValue(depth + 1));
            return o;
        }
        }
    };
    auto randomPacket = [&]() {
        QJsonObject o;
        o.insert("type", kTypes[rng.bounded(int(std::size(kTypes)))]);
        for (int i = rng.bounded(6); i > 0; --i) {
            const bool known = rng.bounded(3) > 0;
            const QString key = known ? kKeys[rng.bounded(int(std::size(kKeys)))] : randomText(8);
            o.insert(key, randomValue(0));
        }
        // Addresses would make the program fetch from the network: never any.
        o.remove("url");
        return QJsonDocument(o).toJson(QJsonDocument::Compact);
    };

    std::vector<std::unique_ptr<Controller>> cs;
    for (int i = 0; i < 4; ++i) {
        cs.push_back(std::make_unique<Controller>(prog_->port()));
        QVERIFY(cs.back()->connectToHost());
    }
    QElapsedTimer t;
    t.start();
    qint64 sent = 0;
    int packets = 0;
    while (t.elapsed() < 3000) {
        const size_t k = size_t(rng.bounded(int(cs.size())));
        Controller& c = *cs[k];
        if (!c.isConnected()) { // a logout or a refused flood closed it
            cs[k] = std::make_unique<Controller>(prog_->port());
            QVERIFY(cs[k]->connectToHost());
            continue;
        }
        QByteArray chunk;
        switch (rng.bounded(4)) {
        case 0: // random bytes
            chunk.resize(1 + rng.bounded(3000));
            for (char& ch : chunk)
                ch = char(rng.bounded(256));
            break;
        case 1: { // a random packet, perhaps cut short
            chunk = randomPacket();
            if (rng.bounded(5) == 0)
                chunk.truncate(rng.bounded(chunk.size()));
            break;
        }
        default: // several packets in one write
            for (int i = 1 + rng.bounded(8); i > 0; --i)
                chunk += randomPacket();
        }
        c.socket().write(chunk);
        c.socket().waitForBytesWritten(100);
        if (c.socket().isOpen())
            c.socket().readAll(); // replies are not examined here
        sent += chunk.size();
        ++packets;
    }
    qInfo("fuzz: %d writes, %lld bytes", packets, sent);

    // An object that never closes: the program must not keep all of it.
    {
        RawSocket flood(prog_->port());
        QVERIFY(flood.ok());
        const QByteArray block = "{" + QByteArray(1 << 20, 'a');
        qint64 written = 0;
        QElapsedTimer ft;
        ft.start();
        while (written < (64 << 20) && ft.elapsed() < 5000) {
            const qint64 n = flood.writeSome(block, int(written % block.size()));
            if (n < 0)
                break; // the program closed it: allowed
            if (n == 0)
                QThread::msleep(1);
            written += n;
        }
        qInfo("flood: %lld bytes of one unclosed object", written);
        QThread::msleep(500);
    }
    cs.clear();

    Controller after(prog_->port());
    QVERIFY(after.connectToHost(10000));
    QCOMPARE(after.greeting(), expectedGreeting());
    QCOMPARE(
        after.request(QJsonObject{{"type", "file.close"}, {"id", "end"}, {"from", "after"}}, 10000),
        QByteArray(
            R"({"desc":" ","from":"jwshow","id":"end","ret":"0","to":" ","type":"file.close"})"));
    const qint64 rssAfter = rssKiB(prog_->pid());
    qInfo("RSS before %lld KiB, after %lld KiB", rssBefore, rssAfter);
    QVERIFY2(rssAfter - rssBefore < 48 * 1024,
             qPrintable(QStringLiteral("RSS grew from %1 to %2 KiB").arg(rssBefore).arg(rssAfter)));
}

QTEST_GUILESS_MAIN(TestE2eLoad)
#include "tst_e2e_load.moc"
