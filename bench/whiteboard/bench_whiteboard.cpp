// Whiteboard drawing in the real program, printed as a markdown table: how many points
// per second one stroke takes while its end still reaches the screen soon after the
// last point, whether repainting grows along a stroke, and the memory strokes and a
// hundred boards opened one after another leave behind.
//
//   xvfb-run -a -s "-screen 0 1920x1080x24 -nolisten tcp" build/bench/whiteboard/bench_whiteboard
//   bench_whiteboard [--program PATH]
// An 800x600 flat picture is shown centred on the 1920x1080 screen, so a point (x, y) in
// thousandths of it lies at (560 + 0.8 x, 240 + 0.6 y). Strokes cover the upper part of
// the picture; a timed batch of points ends with a short line down the strip along the
// picture's bottom edge, on ground nothing has drawn on, and its time is taken when the
// middle of that line shows the pen's colour on the screen. Timings are the median of
// kRepeats strokes, each on a board of its own. At the end gdb (when there is one) asks
// the program's allocator to give its free memory back, which tells memory still in use
// from memory merely kept.

#include "flatpng.h"
#include "httpserver.h"
#include "jwinstance.h"
#include "x11probe.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QJsonObject>
#include <QProcess>
#include <QThread>
#include <algorithm>
#include <cstdio>

using jwtest::Controller;
using jwtest::JwInstance;

namespace
{

const QRgb kPicture = qRgb(30, 160, 60); // the shown picture's flat colour
const QRgb kInk = qRgb(255, 0, 0);       // the pen's
constexpr int kBurst = 10000, kLong = 50000, kBatch = 1000, kBoards = 100, kRepeats = 3;
constexpr int kTimeoutMs = 10000;
// Boards of the kBoards after which the RSS is taken as well: growth that goes on board
// after board shows there, a one-time cost of the first board does not.
constexpr int kRssMarks[] = {10, 50};
// Columns of the bottom strip, each drawn on once per board.
constexpr int kWarmUpColumn = 300, kFirstColumn = 100, kMiddleColumn = 500, kLastColumn = 900;

double msOf(const QElapsedTimer& clock)
{
    return double(clock.nsecsElapsed()) / 1e6;
}

QPoint onScreen(int x, int y)
{
    return QPoint(560 + x * 800 / 1000, 240 + y * 600 / 1000);
}

// Milliseconds of clock when the pixel shows colour; -1 on timeout.
double waitFor(const X11Probe& probe, QPoint at, QRgb colour, const QElapsedTimer& clock)
{
    while (clock.elapsed() < kTimeoutMs) {
        const QRgb p = probe.pixel(at.x(), at.y());
        if (qAbs(qRed(p) - qRed(colour)) <= 2 && qAbs(qGreen(p) - qGreen(colour)) <= 2 &&
            qAbs(qBlue(p) - qBlue(colour)) <= 2)
            return msOf(clock);
        QThread::usleep(500);
    }
    return -1;
}

// Whiteboard packets are written by hand: a burst of them is built faster that way.
QByteArray wb(const char* type, const QByteArray& fields = {})
{
    return "{\"type\":\"whiteboard." + QByteArray(type) + "\",\"from\":\"bench\"" + fields + "}";
}

QByteArray xy(QPoint p)
{
    return ",\"x\":" + QByteArray::number(p.x()) + ",\"y\":" + QByteArray::number(p.y());
}

// Point i of the zigzag: legs of 100 points across the picture, 15 thousandths apart,
// over its upper 80 % again and again (every 5,000 points), as a hand scribbling does.
QPoint zigzag(int i)
{
    const int leg = i / 100, t = i % 100;
    return QPoint(50 + 7 * (leg % 2 ? 99 - t : t), 50 + 15 * (leg % 50));
}

// Point i of a raster: rows of 700 points a thousandth apart and 10 thousandths apart,
// which does not come back over itself within kLong points.
QPoint raster(int i)
{
    const int row = i / 700, t = i % 700;
    return QPoint(50 + (row % 2 ? 699 - t : t), 50 + 10 * (row % 74));
}

using Path = QPoint (*)(int);

// The last two points of a batch, a line down the bottom strip at the column.
QByteArray mark(int column)
{
    return wb("drawing", xy({column, 880})) + wb("drawing", xy({column, 990}));
}

// The next count points of the stroke: the path from *next on, ending with the mark.
QByteArray points(Path path, int* next, int count, int column)
{
    QByteArray bytes;
    bytes.reserve(count * 64);
    for (const int end = *next + count - 2; *next < end; ++*next)
        bytes += wb("drawing", xy(path(*next)));
    return bytes + mark(column);
}

struct Batch {
    double sentMs = -1, shownMs = -1; // from the first byte written: the last one, the mark
};

// Writes the bytes as fast as the socket takes them; the time until the mark shows.
Batch timed(Controller& phone, const X11Probe& probe, const QByteArray& bytes, int column)
{
    Batch b;
    QElapsedTimer clock;
    clock.start();
    if (phone.sendRaw(bytes, kTimeoutMs)) {
        b.sentMs = msOf(clock);
        b.shownMs = waitFor(probe, onScreen(column, 950), kInk, clock);
    }
    return b;
}

// A board in red with a 6-pixel pen and a short stroke on it, on the screen.
bool openBoard(Controller& phone, const X11Probe& probe)
{
    const QByteArray bytes = wb("start") + wb("color", ",\"r\":255,\"g\":0,\"b\":0") +
                             wb("pen.width", ",\"value\":\"6\"") +
                             wb("draw.start", xy({kWarmUpColumn, 880})) + mark(kWarmUpColumn) +
                             wb("draw.end");
    return timed(phone, probe, bytes, kWarmUpColumn).shownMs >= 0;
}

// The board off the screen and its window gone.
bool closeBoard(Controller& phone, const X11Probe& probe)
{
    QElapsedTimer clock;
    clock.start();
    if (!phone.sendRaw(wb("end")) ||
        waitFor(probe, onScreen(kWarmUpColumn, 950), kPicture, clock) < 0)
        return false;
    while (probe.isViewable(probe.findWindow("Sketchpad")) && clock.elapsed() < kTimeoutMs)
        QThread::msleep(2);
    return clock.elapsed() < kTimeoutMs;
}

qint64 settledRss(const JwInstance& program)
{
    QThread::msleep(300);
    return jwtest::rssKiB(program.pid());
}

// The RSS once the allocator has given back what it can (malloc_trim, called through
// gdb); -1 without gdb or the right to attach to the program.
qint64 trimmedRss(const JwInstance& program)
{
    QProcess gdb;
    gdb.start("gdb",
              {"-batch", "-p", QString::number(program.pid()), "-ex", "call (int) malloc_trim(0)"});
    const bool called = gdb.waitForFinished(60000) && gdb.readAllStandardOutput().contains("$1 =");
    return called ? settledRss(program) : -1;
}

struct Strokes {
    QVector<double> first, last, between; // ms to the screen: kBatch, kBatch; points/s
};

struct Results {
    QVector<Batch> bursts;  // kBurst points, then the end of the stroke
    Strokes zigzag, raster; // of kLong points
    // RSS in KiB: picture shown, before any board; a board with a short stroke; with the
    // first burst; that board closed; after all strokes; after kRssMarks and kBoards more
    // boards; the same trimmed.
    qint64 rssBefore = -1, rssBoard = -1, rssBurst = -1, rssFirst = -1, rssStrokes = -1;
    QVector<qint64> rssMarks;
    qint64 rssBoards = -1;
    qint64 rssTrimmed = -1, inUse = -1; // inUse: KiB per 10,000 points, trimmed
    double boardsSeconds = -1;
};

// One whole zigzag stroke of count points, written at once.
Batch wholeStroke(Controller& phone, const X11Probe& probe, int count)
{
    int next = 0;
    const QByteArray bytes = wb("draw.start", xy(zigzag(next++))) +
                             points(zigzag, &next, count, kLastColumn) + wb("draw.end");
    return timed(phone, probe, bytes, kLastColumn);
}

void measureBurst(Results& r, Controller& phone, const X11Probe& probe, const JwInstance& program)
{
    const bool first = r.bursts.isEmpty();
    if (!openBoard(phone, probe))
        return;
    r.rssBoard = first ? settledRss(program) : r.rssBoard;
    r.bursts.append(wholeStroke(phone, probe, kBurst));
    r.rssBurst = first ? settledRss(program) : r.rssBurst;
    closeBoard(phone, probe);
    r.rssFirst = first ? settledRss(program) : r.rssFirst;
}

// The memory a long stroke holds: the allocator gives its free memory back before and after.
void measureInUse(Results& r, Controller& phone, const X11Probe& probe, const JwInstance& program)
{
    const qint64 before = openBoard(phone, probe) ? trimmedRss(program) : -1;
    const bool drawn = before > 0 && wholeStroke(phone, probe, kLong).shownMs >= 0;
    const qint64 after = drawn ? trimmedRss(program) : -1;
    r.inUse = after > 0 ? (after - before) * 10000 / kLong : -1;
    closeBoard(phone, probe);
}

// A board with one stroke of kLong points: the first kBatch timed, then all but kBatch,
// then the last kBatch timed once the rest is on the screen.
void measureLongStroke(Strokes& s, Path path, Controller& phone, const X11Probe& probe)
{
    if (!openBoard(phone, probe))
        return;
    int next = 0;
    auto batch = [&](const QByteArray& head, int count, int column) {
        return timed(phone, probe, head + points(path, &next, count, column), column).shownMs;
    };
    QThread::msleep(200); // as before the last batch
    s.first.append(batch(wb("draw.start", xy(path(next++))), kBatch, kFirstColumn));
    const double ms = batch({}, kLong - 2 * kBatch, kMiddleColumn);
    s.between.append(ms > 0 ? (kLong - 2 * kBatch) / ms * 1000 : -1);
    QThread::msleep(200);
    s.last.append(batch({}, kBatch, kLastColumn));
    phone.sendRaw(wb("draw.end"));
    closeBoard(phone, probe);
}

void measure(Results& r, Controller& phone, const X11Probe& probe, const JwInstance& program)
{
    r.rssBefore = settledRss(program);
    for (int i = 0; i < kRepeats; ++i) {
        measureBurst(r, phone, probe, program);
        measureLongStroke(r.zigzag, zigzag, phone, probe);
        measureLongStroke(r.raster, raster, phone, probe);
    }
    r.rssStrokes = settledRss(program);
    QElapsedTimer clock;
    clock.start();
    qint64 settling = 0; // ns spent on the RSS marks, not on boards
    for (int i = 1; i <= kBoards; ++i) {
        if (!openBoard(phone, probe) || !closeBoard(phone, probe))
            return void(std::fprintf(stderr, "bench_whiteboard: board %d did not come/go\n", i));
        if (std::count(std::begin(kRssMarks), std::end(kRssMarks), i)) {
            const qint64 at = clock.nsecsElapsed();
            r.rssMarks.append(settledRss(program));
            settling += clock.nsecsElapsed() - at;
        }
    }
    r.boardsSeconds = double(clock.nsecsElapsed() - settling) / 1e9;
    r.rssBoards = settledRss(program);
    r.rssTrimmed = trimmedRss(program);
    if (r.rssTrimmed > 0)
        measureInUse(r, phone, probe, program);
}

double median(QVector<double> v)
{
    v.removeAll(-1.0);
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? -1 : (v[(v.size() - 1) / 2] + v[v.size() / 2]) / 2;
}

QString fixed(double v, int decimals, const QString& unit = {})
{
    return v < 0 ? QStringLiteral("failed") : QString::number(v, 'f', decimals) + unit;
}

QString mib(qint64 kib)
{
    return kib < 0 ? QStringLiteral("?") : QString::number(double(kib) / 1024, 'f', 1);
}

void row(const QString& measure, const QString& goal, const QString& measured, int met = -1)
{
    std::printf("| %s | %s | %s | %s |\n", qPrintable(measure), qPrintable(goal),
                qPrintable(measured), met < 0 ? "" : (met ? "met" : "missed"));
}

void reportBursts(const Results& r)
{
    QVector<double> shown, lags;
    QStringList all;
    for (const Batch& b : r.bursts) {
        shown.append(b.shownMs), lags.append(b.shownMs < 0 ? -1 : b.shownMs - b.sentMs);
        all.append(fixed(b.shownMs, 1));
    }
    const double end = median(shown), lag = median(lags), rate = end > 0 ? kBurst / end * 1e3 : -1;
    row("10,000-point zigzag written at once: first point written → end on the screen", {},
        fixed(end, 1, " ms (all: ") + all.join(", ") + ")");
    row("same, points per second", "≥ 20,000/s", fixed(rate, 0, "/s"), rate >= 20000);
    row("same, last point written → end on the screen", "≤ 100 ms", fixed(lag, 1, " ms"),
        lag >= 0 && lag <= 100);
}

void reportStrokes(const Strokes& s, const QString& name, bool goal)
{
    const double first = median(s.first), last = median(s.last);
    const double ratio = first > 0 && last > 0 ? last / first : -1;
    row("50,000-point " + name + ": first 1,000 points on the screen / last 1,000 (the rest)", {},
        fixed(first, 1, " ms / ") + fixed(last, 1, " ms (") + fixed(median(s.between), 0, "/s)"));
    row("same, last ÷ first", goal ? "≤ 2 ×" : "", fixed(ratio, 2, " ×"),
        goal ? ratio >= 0 && ratio <= 2 : -1);
}

// "a → b … MiB (+growth KiB)" of RSS figures in KiB, the growth from the first to the last.
QString rssSteps(const QVector<qint64>& kib)
{
    QStringList steps;
    for (qint64 k : kib)
        steps.append(mib(k));
    const qint64 growth = kib.last() - kib.first();
    return steps.join(" → ") +
           QStringLiteral(" MiB (%1%2 KiB)").arg(growth >= 0 ? "+" : "").arg(growth);
}

void reportMemory(const Results& r)
{
    const QString trimmed = " (RSS after malloc_trim through gdb)";
    row("RSS: a board with a short stroke → 10,000 points on it", {},
        rssSteps({r.rssBoard, r.rssBurst}));
    row("memory in use per 10,000 points of a 50,000-point zigzag" + trimmed, {},
        r.inUse < 0 ? QStringLiteral("not measured") : QStringLiteral("%1 KiB").arg(r.inUse));
    const bool measured = r.rssBefore > 0 && r.rssBoards > 0;
    QStringList marks;
    for (int m : kRssMarks)
        marks.append(QString::number(m));
    row(QStringLiteral("RSS: before any board → after the first (closed) → after the %1 strokes → "
                       "after %2 → %3 boards more (%4)")
            .arg(3 * kRepeats)
            .arg(marks.join(" → "))
            .arg(kBoards)
            .arg(fixed(r.boardsSeconds, 1, " s")),
        "within 5 MiB of the start",
        rssSteps(QVector<qint64>{r.rssBefore, r.rssFirst, r.rssStrokes} + r.rssMarks +
                 QVector<qint64>{r.rssBoards}),
        measured && qAbs(r.rssBoards - r.rssBefore) <= 5 * 1024);
    row(QStringLiteral("same, after the first board → after the last of the %1 more").arg(kBoards),
        {}, rssSteps({r.rssFirst, r.rssBoards}));
    row("same, the allocator's free memory given back" + trimmed, {},
        r.rssTrimmed < 0 ? QStringLiteral("not measured") : rssSteps({r.rssBefore, r.rssTrimmed}));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    X11Probe probe;
    TestHttpServer http;
    if (!probe.isOpen() || !http.start()) {
        std::fprintf(stderr, "bench_whiteboard: needs an X server of 1920x1080 in $DISPLAY\n");
        return 2;
    }
    http.serve("/p.png", flatPng(kPicture, 800, 600), "image/png");

    jwtest::JwInstanceOptions options = jwtest::presentingOptions();
    const int given = args.indexOf("--program");
    options.program = given > 0 ? args.value(given + 1) : QString();
    JwInstance program(options);
    Controller phone(program.start() ? program.port() : 0);
    auto ask = [&phone](const char* type, const char* key, const QString& value) {
        return !phone.request({{"type", type}, {"id", "1"}, {"from", "bench"}, {key, value}})
                    .isEmpty();
    };
    QElapsedTimer clock;
    clock.start();
    if (!program.isRunning() || !phone.connectToHost() || phone.login("bench").isEmpty() ||
        !ask("mode", "value", "show") || !ask("show.image", "url", http.url("/p.png")) ||
        waitFor(probe, onScreen(500, 500), kPicture, clock) < 0) {
        std::fprintf(stderr, "bench_whiteboard: no picture on the screen %s\n",
                     qPrintable(program.errorString()));
        return 1;
    }
    Results r;
    measure(r, phone, probe, program);
    std::printf("| measure | goal | measured | |\n|---|---|---|---|\n");
    reportBursts(r);
    reportStrokes(r.zigzag, "zigzag (each spot drawn over 10 times)", true);
    reportStrokes(r.raster, "raster that never comes back over itself", false);
    reportMemory(r);
    return r.rssBoards > 0 ? 0 : 1;
}
