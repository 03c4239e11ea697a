// Measures the control protocol of the real program over loopback and prints a
// markdown table:
//  - the "mode" round trip (p50, p99) and pipelined throughput, each as a ratio
//    to a minimal poll server in this process (the floor that loopback, the
//    kernel and this client set), in rounds that alternate program and floors;
//    the same ratios for a floor on Qt's networking, to price that choice, and
//    for a poll floor that sends the replies to one read at once, as Qt does;
//  - a bystander's round trips and fresh logins while another controller floods
//    requests and never reads its replies;
//  - the memory and the idle wake-ups of the program with many idle connections,
//    and its idle wake-ups with none.
//
//   bench_protocol [--program PATH] [--requests N] [--pipelined N] [--rounds N]
//                  [--idle N] [--wake-seconds S] [--flood-seconds S]
//   PATH is build/jwshow unless given, so an older build can be measured alike.

#include "client.h"
#include "floors.h"
#include "jwinstance.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocale>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <map>
#include <memory>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <vector>

using namespace bench;
using jwtest::JwInstance;

namespace
{

struct Options {
    QString program; // empty: build/jwshow
    int requests = 20000;
    int pipelined = 100000;
    int rounds = 3;
    int idle = 500;
    int wakeSeconds = 10;
    int floodSeconds = 5;
};

bool parseOptions(const QStringList& args, Options& o)
{
    const std::map<QString, int*> numbers{{"--requests", &o.requests},
                                          {"--pipelined", &o.pipelined},
                                          {"--rounds", &o.rounds},
                                          {"--idle", &o.idle},
                                          {"--wake-seconds", &o.wakeSeconds},
                                          {"--flood-seconds", &o.floodSeconds}};
    for (int i = 1; i < args.size(); i += 2) {
        if (i + 1 >= args.size())
            return false;
        bool ok = true;
        if (args[i] == QLatin1String("--program"))
            o.program = args[i + 1];
        else if (numbers.count(args[i]))
            *numbers.at(args[i]) = args[i + 1].toInt(&ok);
        else
            return false;
        if (!ok)
            return false;
    }
    return o.requests > 0 && o.pipelined > 0 && o.rounds > 0 && o.idle >= 0 && o.wakeSeconds > 0 &&
           o.floodSeconds > 0;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// A dead program leaves a zombie until it is reaped, and nothing here runs the
// event loop that would tell QProcess.
bool processAlive(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const QByteArray stat = f.readAll();
    const int paren = stat.lastIndexOf(')');
    return paren > 0 && paren + 2 < stat.size() && stat[paren + 2] != 'Z' && stat[paren + 2] != 'X';
}

// --- idle wake-ups ------------------------------------------------------------------------

struct ThreadSwitches {
    QByteArray name;
    qint64 count = 0;
};

// Context switches of every thread of the process so far, by thread id. Each time
// a sleeping thread wakes and sleeps again counts one.
std::map<qint64, ThreadSwitches> contextSwitches(qint64 pid)
{
    std::map<qint64, ThreadSwitches> out;
    const QString tasks = QStringLiteral("/proc/%1/task/").arg(pid);
    for (const QString& tid : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile f(tasks + tid + QStringLiteral("/status"));
        if (!f.open(QIODevice::ReadOnly))
            continue; // the thread ended meanwhile
        ThreadSwitches t;
        for (const QByteArray& line : f.readAll().split('\n')) {
            if (line.startsWith("Name:"))
                t.name = line.mid(5).trimmed();
            else if (line.startsWith("voluntary_ctxt_switches:") ||
                     line.startsWith("nonvoluntary_ctxt_switches:"))
                t.count += line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
        }
        out[tid.toLongLong()] = t;
    }
    return out;
}

struct WakeUps {
    double perSecond = 0;
    QString busiest; // the threads that woke most, for finding the culprit
};

// Threads that end during the period are not counted; a thread started in it
// counts from zero.
WakeUps measureWakeUps(qint64 pid, int seconds)
{
    const auto before = contextSwitches(pid);
    QThread::sleep(ulong(seconds));
    const auto after = contextSwitches(pid);
    WakeUps w;
    std::vector<std::pair<double, QString>> perThread;
    for (const auto& [tid, t] : after) {
        const auto then = before.find(tid);
        const double rate =
            double(t.count - (then == before.end() ? 0 : then->second.count)) / seconds;
        w.perSecond += rate;
        if (rate > 0)
            perThread.push_back({rate, QString::fromUtf8(t.name)});
    }
    std::sort(perThread.begin(), perThread.end(), [](auto& a, auto& b) { return a > b; });
    QStringList top;
    for (size_t i = 0; i < std::min<size_t>(4, perThread.size()); ++i)
        top << perThread[i].second + ' ' + QString::number(perThread[i].first, 'f', 1);
    w.busiest = top.join(QStringLiteral(", "));
    return w;
}

// --- idle connections ---------------------------------------------------------------------

struct IdleFigures {
    int opened = 0;
    int closedByProgram = 0; // of the opened ones, by the end of the wake-up count
    qint64 rssBeforeKiB = 0, rssAfterKiB = 0;
    WakeUps wakeUps;
};

bool closedByPeer(const Client& c)
{
    pollfd p{c.fd(), POLLRDHUP, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

// Logged in, as a phone that connected and then lies in a pocket.
IdleFigures measureIdleConnections(const JwInstance& prog, const Options& o)
{
    IdleFigures f;
    f.rssBeforeKiB = jwtest::rssKiB(prog.pid());
    std::vector<std::unique_ptr<Client>> idles;
    for (int i = 0; i < o.idle; ++i) {
        auto c = std::make_unique<Client>();
        if (!c->open(prog.port(), "idle" + QByteArray::number(i)))
            break;
        idles.push_back(std::move(c));
    }
    f.opened = int(idles.size());
    QThread::sleep(2); // the logins' aftermath (window table, log) is not idling
    f.rssAfterKiB = jwtest::rssKiB(prog.pid());
    f.wakeUps = measureWakeUps(prog.pid(), o.wakeSeconds);
    f.closedByProgram = int(
        std::count_if(idles.begin(), idles.end(), [](const auto& c) { return closedByPeer(*c); }));
    return f;
}

// --- round trips and throughput: program and floors in alternation -------------------------

struct ServerFigures {
    bool ok = false;
    double p50Ms = 0, p99Ms = 0, perSecond = 0;
    QByteArray modeReply; // the reply to modeRequest("bench", "7")
};

// Requests written in batches by one thread while this one reads the replies: how
// fast replies come back when the server never waits for the client.
double pipelinedRate(Client& c, int count)
{
    constexpr int kBatch = 500; // requests per write, about 27 kB
    const QByteArray request = modeRequest("bench");
    const QByteArray batch = request.repeated(kBatch);
    std::atomic<bool> writeOk{true};
    QElapsedTimer t;
    t.start();
    std::thread writer([&] {
        for (int sent = 0; sent < count && writeOk; sent += kBatch) {
            const int n = std::min(kBatch, count - sent);
            writeOk = c.send(n == kBatch ? batch : request.repeated(n));
        }
    });
    const bool readOk = c.skipReplies(count);
    const double seconds = double(t.nsecsElapsed()) / 1e9;
    if (!readOk)
        ::shutdown(c.fd(), SHUT_RDWR); // frees the writer if the server stopped reading
    writer.join();
    return readOk && writeOk ? count / seconds : 0;
}

ServerFigures measureServer(quint16 port, const Options& o)
{
    ServerFigures f;
    Client c;
    if (!c.open(port, "bench") || !c.send(modeRequest("bench", "7")))
        return f;
    f.modeReply = c.nextReply();
    const QByteArray request = modeRequest("bench");
    for (int i = 0; i < 500; ++i) // warm-up: the first "mode show" brings a window up
        c.roundTrip(request);
    std::vector<qint64> ns;
    ns.reserve(size_t(o.requests));
    for (int i = 0; i < o.requests; ++i) {
        ns.push_back(c.roundTrip(request));
        if (ns.back() < 0)
            return f;
    }
    const Latency l = latencyOf(std::move(ns));
    f.p50Ms = l.p50Ms;
    f.p99Ms = l.p99Ms;
    f.perSecond = pipelinedRate(c, o.pipelined);
    f.ok = f.perSecond > 0;
    return f;
}

enum Server { kProgram, kPollFloor, kPollReadFloor, kQtFloor, kServerCount };
const char* const kServerNames[kServerCount] = {"the program", "poll floor",
                                                "poll floor, one send per read", "Qt floor"};
using Rounds = std::array<std::vector<ServerFigures>, kServerCount>; // [server][round]

Rounds measureRounds(const std::array<quint16, kServerCount>& ports, const Options& o)
{
    Rounds r;
    for (int round = 0; round < o.rounds; ++round)
        for (int s = 0; s < kServerCount; ++s)
            r[s].push_back(measureServer(ports[s], o));
    return r;
}

// --- bystanders under a flood --------------------------------------------------------------

constexpr int kBystanderGoalMs = 50;     // round trip p99 of a bystander under a flood
constexpr int kBystanderPeriodMs = 5;    // a pointer stream's pace
constexpr int kFreshLoginPeriodMs = 200; // phones coming in

struct Paced {
    std::vector<qint64> fromDue; // ns from when each attempt was due, if an earlier one held it up
    std::vector<qint64> plain;   // ns each attempt took by itself
    int failures = 0;
};

// Runs `attempt` (false: it failed) once every periodMs until the deadline. A
// closed loop that only times what it sends takes one sample per stall, however
// long the stall, and a percentile then hides it; counted from when it was due,
// every attempt that a stall held up shows it.
template <class Attempt> Paced onSchedule(int periodMs, QDeadlineTimer until, Attempt attempt)
{
    Paced p;
    QElapsedTimer clock;
    clock.start();
    qint64 due = 0, lastEnd = 0;
    for (; !until.hasExpired(); due += qint64(periodMs) * 1000000) {
        if (const qint64 early = due - clock.nsecsElapsed(); early > 0)
            std::this_thread::sleep_for(std::chrono::nanoseconds(early));
        const qint64 start = clock.nsecsElapsed();
        const bool ok = attempt();
        const qint64 end = clock.nsecsElapsed();
        if (ok) {
            p.plain.push_back(end - start);
            p.fromDue.push_back(end - (lastEnd > due ? due : start));
        } else {
            ++p.failures;
        }
        lastEnd = end;
    }
    return p;
}

struct FloodFigures {
    Latency bystander; // counted from when each request was due
    double bystanderPlainP99Ms = 0;
    bool bystanderLost = false; // a reply did not come within kReplyTimeoutMs
    Latency logins;             // counted from when each login was due
    int loginsFailed = 0;
    qint64 floodRequests = 0; // taken by the kernel on the flooder's side
    double cutOffAfterS = -1; // when the program closed the flooder; -1: never
    qint64 rssBeforeKiB = 0, rssPeakKiB = 0;
};

// Writes requests as fast as the socket takes them and never reads; stops at
// the deadline or when the program closes the connection.
void floodWithoutReading(int fd, QDeadlineTimer until, FloodFigures& f)
{
    const QByteArray request = fileListRequest("flooder");
    const QByteArray chunk = request.repeated(256);
    QElapsedTimer t;
    t.start();
    qint64 bytes = 0;
    int offset = 0; // into chunk: the stream stays whole requests back to back
    while (!until.hasExpired()) {
        const ssize_t n = ::send(fd, chunk.constData() + offset, size_t(chunk.size() - offset),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            bytes += n;
            offset = int((offset + n) % chunk.size());
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{fd, POLLOUT | POLLRDHUP, 0};
            ::poll(&p, 1, int(std::min<qint64>(20, until.remainingTime())));
            if (!(p.revents & (POLLRDHUP | POLLHUP | POLLERR)))
                continue;
        }
        f.cutOffAfterS = double(t.nsecsElapsed()) / 1e9;
        break;
    }
    f.floodRequests = bytes / request.size();
}

void freshLogins(quint16 port, QDeadlineTimer until, FloodFigures& f)
{
    int n = 0;
    const Paced p = onSchedule(kFreshLoginPeriodMs, until, [&] {
        Client c;
        return c.open(port, "fresh" + QByteArray::number(n++));
    });
    f.logins = latencyOf(p.fromDue);
    f.loginsFailed = p.failures;
}

void bystanderRoundTrips(Client& bystander, QDeadlineTimer until, FloodFigures& f)
{
    const QByteArray request = modeRequest("bystander");
    const Paced p = onSchedule(kBystanderPeriodMs, until, [&] {
        // After a lost reply the stream is out of step: no further samples.
        f.bystanderLost = f.bystanderLost || bystander.roundTrip(request) < 0;
        return !f.bystanderLost;
    });
    f.bystander = latencyOf(p.fromDue);
    f.bystanderPlainP99Ms = latencyOf(p.plain).p99Ms;
}

FloodFigures measureFlood(const JwInstance& prog, const Options& o)
{
    FloodFigures f;
    Client flooder, bystander;
    if (!flooder.open(prog.port(), "flooder") || !bystander.open(prog.port(), "bystander")) {
        f.bystanderLost = true;
        return f;
    }
    f.rssBeforeKiB = f.rssPeakKiB = jwtest::rssKiB(prog.pid());
    const QDeadlineTimer until(o.floodSeconds * 1000);
    std::thread flood([&] { floodWithoutReading(flooder.fd(), until, f); });
    std::thread logins([&] { freshLogins(prog.port(), until, f); });
    std::thread rss([&] {
        for (; !until.hasExpired(); QThread::msleep(100))
            f.rssPeakKiB = std::max(f.rssPeakKiB, jwtest::rssKiB(prog.pid()));
    });
    bystanderRoundTrips(bystander, until, f);
    flood.join();
    logins.join();
    rss.join();
    return f;
}

// --- report ---------------------------------------------------------------------------------

QString ms(double v)
{
    return QString::number(v, 'f', 3) + QStringLiteral(" ms");
}
QString perSecond(double v)
{
    return QLocale(QLocale::English).toString(qint64(v + 0.5)) + QStringLiteral("/s");
}
QString verdict(bool met)
{
    return met ? QStringLiteral("met") : QStringLiteral("missed");
}

class Report
{
public:
    explicit Report(QTextStream& out) : out_(out)
    {
        out_ << "| measure | goal | measured | |\n|---|---|---|---|\n";
    }
    void row(const QString& measure, const QString& goal, const QString& measured,
             const QString& verdict = QString())
    {
        out_ << "| " << measure << " | " << goal << " | " << measured << " | " << verdict << " |\n";
    }

private:
    QTextStream& out_;
};

// The figure of a server over the rounds that worked: median, and of one server
// against another round by round: median ratio and its range.
using Figure = double ServerFigures::*;

std::vector<double> valuesOf(const std::vector<ServerFigures>& rounds, Figure fig)
{
    std::vector<double> v;
    for (const ServerFigures& r : rounds)
        if (r.ok)
            v.push_back(r.*fig);
    return v;
}

std::vector<double> ratios(const Rounds& r, Server num, Server den, Figure fig)
{
    std::vector<double> v;
    for (size_t i = 0; i < r[num].size(); ++i)
        if (r[num][i].ok && r[den][i].ok && r[den][i].*fig > 0)
            v.push_back(r[num][i].*fig / (r[den][i].*fig));
    return v;
}

QString ratioText(const std::vector<double>& v)
{
    if (v.empty())
        return QStringLiteral("failed");
    const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
    return QString::number(median(v), 'f', 2) +
           QStringLiteral(" (rounds %1–%2)").arg(*lo, 0, 'f', 2).arg(*hi, 0, 'f', 2);
}

void reportRounds(Report& t, const Rounds& r, const Options& o)
{
    auto p50 = [&](Server s) { return median(valuesOf(r[s], &ServerFigures::p50Ms)); };
    auto p99 = [&](Server s) { return median(valuesOf(r[s], &ServerFigures::p99Ms)); };
    auto rate = [&](Server s) { return median(valuesOf(r[s], &ServerFigures::perSecond)); };
    const bool ok = !valuesOf(r[kProgram], &ServerFigures::p50Ms).empty();
    auto measured = [ok](const QString& text) { return ok ? text : QStringLiteral("failed"); };

    t.row(QStringLiteral("\"mode\" round trip on one connection, p50 (%1 requests, median of "
                         "%2 rounds)")
              .arg(o.requests)
              .arg(o.rounds),
          QStringLiteral("≤ 0.3 ms"), measured(ms(p50(kProgram))),
          verdict(ok && p50(kProgram) <= 0.3));
    t.row(QStringLiteral("same, p99"), QStringLiteral("≤ 2 ms"), measured(ms(p99(kProgram))),
          verdict(ok && p99(kProgram) <= 2));
    t.row(QStringLiteral("pipelined \"mode\" requests (%1, written in batches of 500)")
              .arg(o.pipelined),
          QStringLiteral("≥ 50,000/s"), measured(perSecond(rate(kProgram))),
          verdict(ok && rate(kProgram) >= 50000));
    for (Server s : {kPollFloor, kPollReadFloor, kQtFloor})
        t.row(QStringLiteral("%1: p50 / p99 / pipelined").arg(kServerNames[s]), QString(),
              ms(p50(s)) + " / " + ms(p99(s)) + " / " + perSecond(rate(s)));

    const auto p50Ratio = ratios(r, kProgram, kPollFloor, &ServerFigures::p50Ms);
    const auto rateRatio = ratios(r, kProgram, kPollFloor, &ServerFigures::perSecond);
    t.row(QStringLiteral("round trip p50, program ÷ poll floor"), QStringLiteral("≤ 2"),
          ratioText(p50Ratio), verdict(!p50Ratio.empty() && median(p50Ratio) <= 2));
    t.row(QStringLiteral("round trip p99, program ÷ poll floor"), QString(),
          ratioText(ratios(r, kProgram, kPollFloor, &ServerFigures::p99Ms)));
    t.row(QStringLiteral("pipelined, program ÷ poll floor"), QStringLiteral("≥ 0.5"),
          ratioText(rateRatio), verdict(!rateRatio.empty() && median(rateRatio) >= 0.5));
    t.row(QStringLiteral("round trip p50, Qt floor ÷ poll floor"), QString(),
          ratioText(ratios(r, kQtFloor, kPollFloor, &ServerFigures::p50Ms)));
    t.row(QStringLiteral("round trip p99, Qt floor ÷ poll floor"), QString(),
          ratioText(ratios(r, kQtFloor, kPollFloor, &ServerFigures::p99Ms)));
    t.row(QStringLiteral("pipelined, Qt floor ÷ poll floor"), QString(),
          ratioText(ratios(r, kQtFloor, kPollFloor, &ServerFigures::perSecond)));
    t.row(QStringLiteral("pipelined, Qt floor ÷ poll floor with one send per read"), QString(),
          ratioText(ratios(r, kQtFloor, kPollReadFloor, &ServerFigures::perSecond)));
}

void reportFlood(Report& t, const FloodFigures& f, const Options& o)
{
    const Latency& b = f.bystander;
    t.row(QStringLiteral("flood (%1 s, a controller writes \"file.list\" and never reads): "
                         "bystander's \"mode\" round trips, one due every %2 ms, p50 / p99 / "
                         "max from when each was due")
              .arg(o.floodSeconds)
              .arg(kBystanderPeriodMs),
          QStringLiteral("p99 < %1 ms").arg(kBystanderGoalMs),
          QStringLiteral("%1 / %2 / %3 (%4 requests; p99 of the plain round trips %5%6)")
              .arg(ms(b.p50Ms), ms(b.p99Ms), ms(b.maxMs))
              .arg(b.count)
              .arg(ms(f.bystanderPlainP99Ms))
              .arg(f.bystanderLost ? QStringLiteral("; then one got no reply within %1 s")
                                         .arg(kReplyTimeoutMs / 1000)
                                   : QString()),
          verdict(!f.bystanderLost && b.count > 0 && b.p99Ms < kBystanderGoalMs));
    t.row(QStringLiteral("same flood: a fresh connection logging in every %1 ms, p50 / max from "
                         "when each was due")
              .arg(kFreshLoginPeriodMs),
          QString(),
          QStringLiteral("%1 / %2 (%3 logins, %4 failed)")
              .arg(ms(f.logins.p50Ms), ms(f.logins.maxMs))
              .arg(f.logins.count)
              .arg(f.loginsFailed));
    t.row(QStringLiteral("same flood: the flooder"), QString(),
          (f.cutOffAfterS < 0
               ? QStringLiteral("never cut off")
               : QStringLiteral("cut off after %1 s").arg(f.cutOffAfterS, 0, 'f', 2)) +
              QStringLiteral("; %1 requests sent").arg(f.floodRequests));
    t.row(QStringLiteral("same flood: RSS of the program before → peak"), QString(),
          QStringLiteral("%1 → %2 MiB")
              .arg(f.rssBeforeKiB / 1024.0, 0, 'f', 1)
              .arg(f.rssPeakKiB / 1024.0, 0, 'f', 1));
}

void reportIdle(Report& t, const WakeUps& quiet, const IdleFigures& idle, const Options& o)
{
    const double growthMiB = double(idle.rssAfterKiB - idle.rssBeforeKiB) / 1024.0;
    t.row(
        QStringLiteral("%1 idle logged-in connections, RSS growth of the program").arg(idle.opened),
        QStringLiteral("< 20 MB"),
        QStringLiteral("%1 MiB (%2 → %3 KiB)")
            .arg(growthMiB, 0, 'f', 2)
            .arg(idle.rssBeforeKiB)
            .arg(idle.rssAfterKiB),
        verdict(idle.opened == o.idle && growthMiB < 20));
    t.row(QStringLiteral("idle wake-ups of the program, no controller connected (%1 s)")
              .arg(o.wakeSeconds),
          QStringLiteral("≤ 1/s"),
          QStringLiteral("%1/s (%2)").arg(quiet.perSecond, 0, 'f', 1).arg(quiet.busiest),
          verdict(quiet.perSecond <= 1));
    t.row(QStringLiteral("idle wake-ups with the %1 idle connections").arg(idle.opened), QString(),
          QStringLiteral("%1/s (%2)%3")
              .arg(idle.wakeUps.perSecond, 0, 'f', 1)
              .arg(idle.wakeUps.busiest)
              .arg(idle.closedByProgram ? QStringLiteral("; %1 connections closed by the program")
                                              .arg(idle.closedByProgram)
                                        : QString()));
}

// Every server must answer "mode" with exactly these bytes, or the rounds compare
// unlike work.
void reportReplies(QTextStream& out, const Rounds& r)
{
    const QByteArray want = expectedModeReply("bench", "7");
    for (int s = 0; s < kServerCount; ++s)
        for (const ServerFigures& f : r[s])
            if (f.ok && f.modeReply != want) {
                out << "\nNote: " << kServerNames[s] << " answered \"mode\" with " << f.modeReply
                    << " instead of " << want << "\n";
                break;
            }
}

QString loadAverage()
{
    QFile f(QStringLiteral("/proc/loadavg"));
    return f.open(QIODevice::ReadOnly) ? QString::fromLatin1(f.readAll().split(' ').value(0))
                                       : QStringLiteral("?");
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    QTextStream out(stdout);
    QTextStream err(stderr);
    out.setCodec("UTF-8");
    Options o;
    if (!parseOptions(app.arguments(), o)) {
        err << "usage: bench_protocol [--program PATH] [--requests N] [--pipelined N] "
               "[--rounds N] [--idle N] [--wake-seconds S] [--flood-seconds S]\n";
        return 2;
    }

    jwtest::JwInstanceOptions io;
    io.program = o.program;
    io.unsetEnv << QStringLiteral("QT_LOGGING_RULES"); // the default logging, as shipped
    JwInstance prog(io);
    if (!prog.start()) {
        err << "cannot start the program: " << prog.errorString() << "\n";
        return 1;
    }
    const QString loadAtStart = loadAverage();
    QThread::sleep(2); // start-up work is not idling

    const WakeUps quiet = measureWakeUps(prog.pid(), o.wakeSeconds);
    const IdleFigures idle = measureIdleConnections(prog, o); // closes them on return
    QThread::sleep(1);

    Rounds rounds;
    {
        PollFloor pollFloor(PollFloor::OnePerReply);
        PollFloor pollReadFloor(PollFloor::OnePerRead);
        QtFloor qtFloor;
        rounds =
            measureRounds({prog.port(), pollFloor.port(), pollReadFloor.port(), qtFloor.port()}, o);
    }
    const FloodFigures flood = measureFlood(prog, o);
    const bool aliveAfterFlood = processAlive(prog.pid());
    const int exitCode = prog.stop();

    out << "Program " << (o.program.isEmpty() ? QStringLiteral(JW_BIN_DIR "/jwshow") : o.program)
        << ", load average " << loadAtStart << " at start\n\n";
    Report t(out);
    reportRounds(t, rounds, o);
    reportFlood(t, flood, o);
    reportIdle(t, quiet, idle, o);
    t.row(QStringLiteral("the program after the run"), QString(),
          !aliveAfterFlood ? QStringLiteral("died during the flood")
          : exitCode == 0  ? QStringLiteral("quit in order on SIGTERM")
                           : QStringLiteral("did not quit in order on SIGTERM (%1)").arg(exitCode));
    reportReplies(out, rounds);
    out.flush();
    return 0;
}
