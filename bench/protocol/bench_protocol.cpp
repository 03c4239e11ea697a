// Measures the control protocol of the real program over loopback and prints a
// markdown table: request round trip (p50, p99), pipelined throughput, the same
// round trip against a bare echo server in this process (the floor that loopback
// and this client set), and the memory that idle connections cost the program.
//
//   bench_protocol [--requests N] [--pipelined N] [--idle N]

#include "jwinstance.h"
#include "protocol/jsonscanner.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace jwtest;

namespace
{

int connectTo(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool sendAll(int fd, const QByteArray& b)
{
    qint64 off = 0;
    while (off < b.size()) {
        const ssize_t n = ::send(fd, b.constData() + off, size_t(b.size() - off), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        off += n;
    }
    return true;
}

// Counts complete top-level JSON objects in a byte stream, carrying the state
// across reads.
struct ObjectCounter {
    JsonObjectScanner scanner;
    qint64 feed(const char* p, qint64 n)
    {
        qint64 done = 0;
        for (qint64 i = 0; i < n; ++i)
            done += scanner.step(p[i]) == JsonObjectScanner::ObjectEnd;
        return done;
    }
};

// Reads until `want` complete objects have arrived. False on close or error.
bool readObjects(int fd, ObjectCounter& oc, qint64 want)
{
    char buf[65536];
    qint64 got = 0;
    while (got < want) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            return false;
        got += oc.feed(buf, n);
    }
    return true;
}

// Reads the greeting: it has no terminator, so wait for its known length.
bool readGreeting(int fd)
{
    const int want = expectedGreeting().size();
    QByteArray got;
    while (got.size() < want) {
        char buf[256];
        const ssize_t n = ::recv(fd, buf, size_t(std::min<int>(sizeof buf, want - got.size())), 0);
        if (n <= 0)
            return false;
        got.append(buf, int(n));
    }
    return got == expectedGreeting();
}

struct Latency {
    double p50 = 0, p99 = 0, mean = 0;
    bool ok = false;
};

Latency roundTrips(int fd, const QByteArray& request, int count)
{
    std::vector<qint64> ns;
    ns.reserve(size_t(count));
    ObjectCounter oc;
    QElapsedTimer t;
    for (int i = 0; i < count; ++i) {
        t.start();
        if (!sendAll(fd, request) || !readObjects(fd, oc, 1))
            return {};
        ns.push_back(t.nsecsElapsed());
    }
    std::sort(ns.begin(), ns.end());
    Latency l;
    l.p50 = ns[ns.size() / 2] / 1e6;
    l.p99 = ns[std::min(ns.size() - 1, ns.size() * 99 / 100)] / 1e6;
    qint64 sum = 0;
    for (qint64 v : ns)
        sum += v;
    l.mean = double(sum) / double(ns.size()) / 1e6;
    l.ok = true;
    return l;
}

// A bare echo server on 127.0.0.1 in a thread of its own (one connection).
class EchoServer
{
public:
    EchoServer()
    {
        lfd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(lfd_, reinterpret_cast<sockaddr*>(&a), len);
        ::listen(lfd_, 4);
        ::getsockname(lfd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] {
            const int c = ::accept4(lfd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0)
                return;
            const int one = 1;
            ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            char buf[65536];
            for (;;) {
                const ssize_t n = ::recv(c, buf, sizeof buf, 0);
                if (n <= 0 || !sendAll(c, QByteArray::fromRawData(buf, int(n))))
                    break;
            }
            ::close(c);
        });
    }
    ~EchoServer()
    {
        ::shutdown(lfd_, SHUT_RDWR);
        thread_.join();
        ::close(lfd_);
    }
    quint16 port() const { return port_; }

private:
    int lfd_ = -1;
    quint16 port_ = 0;
    std::thread thread_;
};

QString ms(double v)
{
    return QString::number(v, 'f', 3) + QStringLiteral(" ms");
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int requests = 20000, pipelined = 100000, idle = 200;
    const QStringList a = app.arguments();
    for (int i = 1; i + 1 < a.size(); i += 2) {
        if (a[i] == QLatin1String("--requests"))
            requests = a[i + 1].toInt();
        else if (a[i] == QLatin1String("--pipelined"))
            pipelined = a[i + 1].toInt();
        else if (a[i] == QLatin1String("--idle"))
            idle = a[i + 1].toInt();
    }
    QTextStream out(stdout);
    QTextStream err(stderr);

    JwInstanceOptions o;
    o.unsetEnv << QStringLiteral("QT_LOGGING_RULES"); // the default logging, as shipped
    JwInstance prog(o);
    if (!prog.start()) {
        err << "cannot start the program: " << prog.errorString() << "\n";
        return 1;
    }
    const quint16 port = prog.port();
    const QByteArray mode = R"({"type":"mode","id":"1","from":"bench","value":"show"})";

    // --- idle connections (first, before any load has grown the heap) ---------------------
    QThread::msleep(500);
    const qint64 rssBefore = rssKiB(prog.pid());
    std::vector<int> idles;
    for (int i = 0; i < idle; ++i) {
        const int c = connectTo(port);
        if (c < 0 || !readGreeting(c)) {
            err << "idle connection " << i << " failed\n";
            break;
        }
        idles.push_back(c);
    }
    QThread::msleep(1000);
    const qint64 rssAfter = rssKiB(prog.pid());
    for (int c : idles)
        ::close(c);
    const double idleMiB = (rssAfter - rssBefore) / 1024.0;

    // --- round trip ------------------------------------------------------------------
    const int fd = connectTo(port);
    ObjectCounter oc;
    if (fd < 0 || !readGreeting(fd) ||
        !sendAll(fd, R"({"type":"login","id":"0","from":"bench","name":"b","pwd":"p"})") ||
        !readObjects(fd, oc, 1)) {
        err << "cannot log in\n";
        return 1;
    }
    roundTrips(fd, mode, std::min(500, requests)); // warm-up
    const Latency prog_lat = roundTrips(fd, mode, requests);

    // --- pipelined throughput ----------------------------------------------------------
    const int batchCount = 500; // requests per write (about 27 kB)
    QByteArray batch;
    for (int i = 0; i < batchCount; ++i)
        batch += mode;
    std::atomic<bool> writeOk{true};
    QElapsedTimer tt;
    tt.start();
    std::thread writer([&] {
        for (int sent = 0; sent < pipelined; sent += batchCount) {
            const int n = std::min(batchCount, pipelined - sent);
            if (!sendAll(fd, n == batchCount ? batch : batch.left(mode.size() * n))) {
                writeOk = false;
                return;
            }
        }
    });
    ObjectCounter poc;
    const bool readOk = readObjects(fd, poc, pipelined);
    const double seconds = tt.nsecsElapsed() / 1e9;
    writer.join();
    const double perSecond = readOk && writeOk ? pipelined / seconds : 0;
    ::close(fd);

    // --- the floor: an echo server ------------------------------------------------------
    Latency echo_lat;
    {
        EchoServer echo;
        const int efd = connectTo(echo.port());
        if (efd >= 0) {
            roundTrips(efd, mode, std::min(500, requests));
            echo_lat = roundTrips(efd, mode, requests);
            ::close(efd);
        }
    }

    auto verdict = [](bool ok) { return ok ? QStringLiteral("met") : QStringLiteral("missed"); };
    out << "| measure | goal | measured | |\n|---|---|---|---|\n";
    out << "| round trip p50 (" << requests << " \"mode\" requests) | <= 0.3 ms | "
        << ms(prog_lat.p50) << " | " << verdict(prog_lat.ok && prog_lat.p50 <= 0.3) << " |\n";
    out << "| round trip p99 | <= 2 ms | " << ms(prog_lat.p99) << " | "
        << verdict(prog_lat.ok && prog_lat.p99 <= 2.0) << " |\n";
    out << "| round trip mean | | " << ms(prog_lat.mean) << " | |\n";
    out << "| pipelined replies (" << pipelined << " requests) | >= 50,000/s | "
        << QString::number(perSecond, 'f', 0) << "/s | " << verdict(perSecond >= 50000) << " |\n";
    out << "| echo server round trip p50 / p99 (floor) | | " << ms(echo_lat.p50) << " / "
        << ms(echo_lat.p99) << " | |\n";
    out << "| " << idles.size() << " idle connections, RSS delta | < 20 MB | "
        << QString::number(idleMiB, 'f', 2) << " MiB (" << rssBefore << " -> " << rssAfter
        << " KiB) | " << verdict(idleMiB < 20) << " |\n";
    out.flush();
    prog.stop();
    return 0;
}
