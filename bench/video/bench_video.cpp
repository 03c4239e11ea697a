// Video playback of the real program against VLC's own player (cvlc) on the same X
// server, printed as a markdown table: the time from "show.video" to the "playing"
// report and to the first frame on the screen (cvlc: from its start), the CPU time
// of the whole process over 20 s of playback, and the program's memory after one
// video and over 50 opened one after another.
//
//   xvfb-run -a -s "-screen 0 1920x1080x24 -nolisten tcp" build/bench/video/bench_video
//   bench_video [--program PATH] [--video PATH] [--vout NAME]
// Without --video ffmpeg makes the clip: 30 s of 1080p H.264 at 25 fps, one flat
// colour (what the probe looks for at the screen's centre) under a small moving test
// pattern that gives the decoder work, and an AAC tone. cvlc gets the video output
// libvlc picks in the program ("gl" under Xvfb; the table lists what the program
// loaded). vlc refuses to run as root, so a root bench runs cvlc as nobody.

#include "flatpng.h"
#include "httpserver.h"
#include "jwinstance.h"
#include "x11probe.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

using jwtest::JwInstance;

namespace
{

const QRgb kVideoColour = qRgb(0x20, 0xC0, 0x40); // the clip's flat colour
const QRgb kBlankColour = qRgb(0xC0, 0x20, 0xB0); // the picture shown between runs
constexpr int kRuns = 10, kCpuSeconds = 20, kSeries = 50, kTimeoutMs = 10000;
constexpr uid_t kNobody = 65534;

struct Options {
    QString program, video, vout;
};

Options parse(const QStringList& args)
{
    QMap<QString, QString> given;
    for (int i = 1; i + 1 < args.size(); i += 2)
        given.insert(args[i], args[i + 1]);
    return {given.value("--program"), given.value("--video"), given.value("--vout", "gl")};
}

double msOf(const QElapsedTimer& clock)
{
    return double(clock.nsecsElapsed()) / 1e6;
}

bool onScreen(const X11Probe& probe, QRgb colour)
{
    const QRgb p = probe.pixel(960, 540);
    return qAbs(qRed(p) - qRed(colour)) < 40 && qAbs(qGreen(p) - qGreen(colour)) < 40 &&
           qAbs(qBlue(p) - qBlue(colour)) < 40;
}

// Milliseconds of `clock` when the centre of the screen shows colour; -1 on timeout.
double waitForColour(const X11Probe& probe, QRgb colour, const QElapsedTimer& clock)
{
    while (clock.elapsed() < kTimeoutMs) {
        if (onScreen(probe, colour))
            return msOf(clock);
        QThread::usleep(2000);
    }
    return -1;
}

QString makeVideo(const QString& dir)
{
    const QString out = dir + "/v.mp4";
    QProcess ffmpeg;
    ffmpeg.setProcessChannelMode(QProcess::ForwardedChannels);
    // No argument holds a space.
    const QStringList args =
        QStringLiteral("-hide_banner -loglevel error -y -f lavfi -i "
                       "color=c=0x20C040:size=1920x1080:rate=25 -f lavfi -i "
                       "testsrc=size=480x360:rate=25 -f lavfi -i "
                       "sine=frequency=440:sample_rate=48000 -filter_complex "
                       "[0][1]overlay=x='mod(t*200,1440)':y=60[v] -map [v] -map 2 -t 30 -c:v "
                       "libx264 -preset veryfast -pix_fmt yuv420p -g 50 -c:a aac -movflags "
                       "+faststart")
            .split(' ');
    ffmpeg.start("ffmpeg", args + QStringList{out});
    return ffmpeg.waitForFinished(120000) && ffmpeg.exitCode() == 0 ? out : QString();
}

// utime + stime of all the threads of the process, in seconds.
double cpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    const QByteArray line = stat.open(QIODevice::ReadOnly) ? stat.readAll() : QByteArray();
    const QList<QByteArray> f = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return f.size() > 12 ? double(f[11].toLongLong() + f[12].toLongLong()) / sysconf(_SC_CLK_TCK)
                         : -1;
}

// The video output modules libvlc has loaded into the process.
QString videoOutputs(qint64 pid)
{
    QFile maps(QStringLiteral("/proc/%1/maps").arg(pid));
    QStringList names;
    for (const QByteArray& line :
         (maps.open(QIODevice::ReadOnly) ? maps.readAll() : "").split('\n'))
        if (line.contains("/video_output/lib"))
            names.append(QString(line.mid(line.lastIndexOf("/lib") + 4)).remove("_plugin.so"));
    names.removeDuplicates();
    return names.join(", ");
}

// The times that were measured (-1 is a run that timed out), in order.
QVector<double> measured(QVector<double> v)
{
    v.removeAll(-1.0);
    std::sort(v.begin(), v.end());
    return v;
}

double median(const QVector<double>& times)
{
    const QVector<double> v = measured(times);
    return v.isEmpty() ? -1 : (v[(v.size() - 1) / 2] + v[v.size() / 2]) / 2;
}

// cvlc on the X server of the run; as root it runs as nobody, with a home of its own
// and a readable copy of the X cookie.
class Reference
{
public:
    Reference(const QString& vout, const QString& dir)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (::geteuid() == 0) {
            const QString home = dir + "/nobody", cookie = env.value("XAUTHORITY");
            QDir().mkpath(home);
            ::chmod(QFile::encodeName(dir).constData(), 0711);
            if (!cookie.isEmpty() && QFile::copy(cookie, home + "/Xauthority"))
                env.insert("XAUTHORITY", home + "/Xauthority");
            for (const QString& path : {home, home + "/Xauthority"})
                (void)::chown(QFile::encodeName(path).constData(), kNobody, kNobody);
            env.insert("HOME", home);
            env.remove("XDG_RUNTIME_DIR");
            program_ = "setpriv";
            args_ = QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", "--", "cvlc"};
        }
        args_ +=
            QStringList{"--no-audio",      "--aout=adummy", "--fullscreen", "--no-video-title-show",
                        "--play-and-exit", "--vout=" + vout};
        process_.setProcessEnvironment(env);
        process_.setStandardOutputFile(QProcess::nullDevice());
        process_.setStandardErrorFile(dir + "/cvlc.log", QIODevice::Append);
    }
    ~Reference() { stop(); }
    bool start(const QString& url)
    {
        process_.start(program_, args_ + QStringList{url});
        return process_.waitForStarted(5000);
    }
    void stop()
    {
        process_.terminate();
        if (!process_.waitForFinished(3000))
            process_.kill(), process_.waitForFinished(3000);
    }
    qint64 pid() const { return process_.processId(); }

private:
    QString program_ = "cvlc";
    QStringList args_;
    QProcess process_;
};

// A controller that picks the "playing" report out of what comes back.
class Phone : public jwtest::Controller
{
public:
    using Controller::Controller;
    bool ask(const QString& type, QJsonObject fields)
    {
        fields.insert("type", type), fields.insert("from", "bench");
        fields.insert("id", QString::number(++id_));
        return send(fields);
    }
    bool playingWithin(int ms)
    {
        for (QDeadlineTimer deadline(ms); !deadline.hasExpired();) {
            const QJsonObject o = QJsonDocument::fromJson(nextReply(1)).object();
            if (o.value("type") == "show.video.info" && o.value("act") == "status" &&
                o.value("value") == "playing")
                return true;
        }
        return false;
    }
    void drain() // whatever has arrived
    {
        while (!nextReply(2).isEmpty()) {
        }
    }

private:
    int id_ = 0;
};

struct Results {
    QVector<double> playing, frame, reference; // ms, one per run
    double cpu = -1, referenceCpu = -1;        // seconds over kCpuSeconds
    QString outputs;                           // video output modules loaded into the program
    qint64 rssShown = -1;                      // KiB, before the first video of a fresh program
    QMap<int, qint64> rssAfter;                // KiB after video 1, 10 and kSeries of the series
};

void measureReference(Results& r, const X11Probe& probe, const QString& url, Reference& cvlc)
{
    QElapsedTimer clock;
    for (int i = 0; i <= kRuns; ++i) {
        clock.start();
        const double ms = cvlc.start(url) ? waitForColour(probe, kVideoColour, clock) : -1;
        if (i == kRuns && ms >= 0) { // the last one plays on for the CPU time
            const double before = cpuSeconds(cvlc.pid());
            QThread::sleep(kCpuSeconds);
            r.referenceCpu = cpuSeconds(cvlc.pid()) - before;
        } else if (i < kRuns) {
            r.reference.append(ms);
        }
        cvlc.stop();
        for (QDeadlineTimer gone(2000); onScreen(probe, kVideoColour) && !gone.hasExpired();)
            QThread::msleep(5); // its window may outlive it for a moment
    }
}

// Shows the flat picture and waits until it is on the screen.
bool blank(Phone& phone, const X11Probe& probe, const QString& url)
{
    QElapsedTimer clock;
    clock.start();
    return phone.ask("show.image", {{"url", url}}) &&
           waitForColour(probe, kBlankColour, clock) >= 0;
}

// One "show.video": the times to the "playing" report and to the first frame.
void timeVideo(Results& r, Phone& phone, const X11Probe& probe, const QString& url)
{
    phone.drain();
    QElapsedTimer clock;
    clock.start();
    double playing = -1, frame = -1;
    phone.ask("show.video", {{"url", url}});
    while (clock.elapsed() < kTimeoutMs && (playing < 0 || frame < 0)) {
        if (frame < 0 && onScreen(probe, kVideoColour))
            frame = msOf(clock);
        if (playing < 0 && phone.playingWithin(1))
            playing = msOf(clock);
        else if (playing >= 0)
            QThread::usleep(1000);
    }
    r.playing.append(playing), r.frame.append(frame);
}

// A fresh program's first frames: kRuns videos with the picture in between each; then
// the CPU time over kCpuSeconds of one more.
void measureFirstFrames(Results& r, const X11Probe& probe, const TestHttpServer& http,
                        const JwInstance& program, Phone& phone)
{
    const QString video = http.url("/v.mp4"), picture = http.url("/blank.png");
    for (int i = 0; i < kRuns; ++i) {
        // Without the picture a run would start from the video's colour; without a report
        // and a frame the program does not play. Either way the rest would only wait.
        if (!blank(phone, probe, picture))
            return void(std::fprintf(stderr, "bench_video: the picture stays behind the video\n"));
        timeVideo(r, phone, probe, video);
        if (r.playing.last() < 0 && r.frame.last() < 0)
            return void(std::fprintf(stderr, "bench_video: the program does not play\n"));
    }
    r.outputs = videoOutputs(program.pid());
    blank(phone, probe, picture);
    QElapsedTimer clock;
    clock.start();
    if (phone.ask("show.video", {{"url", video}}) &&
        waitForColour(probe, kVideoColour, clock) >= 0) {
        const double before = cpuSeconds(program.pid());
        QThread::sleep(kCpuSeconds);
        r.cpu = cpuSeconds(program.pid()) - before;
    }
}

// A fresh program's memory over kSeries videos, each opened once the last one plays.
void measureSeries(Results& r, const X11Probe& probe, const TestHttpServer& http,
                   const JwInstance& program, Phone& phone)
{
    blank(phone, probe, http.url("/blank.png"));
    r.rssShown = jwtest::rssKiB(program.pid());
    for (int i = 1; i <= kSeries; ++i) {
        phone.drain();
        if (!phone.ask("show.video", {{"url", http.url("/v.mp4")}}) ||
            !phone.playingWithin(kTimeoutMs))
            return;
        if (i == 1 || i == 10 || i == kSeries) { // once its frames are on the screen
            QElapsedTimer clock;
            clock.start();
            waitForColour(probe, kVideoColour, clock);
            QThread::msleep(1000);
            r.rssAfter.insert(i, jwtest::rssKiB(program.pid()));
        }
    }
}

template <typename Measure>
bool runProgram(Results& r, const Options& o, const X11Probe& probe, const TestHttpServer& http,
                Measure measure)
{
    jwtest::JwInstanceOptions options = jwtest::presentingOptions();
    options.program = o.program;
    options.env.insert("JWSHOW_VLC_ARGS", "--aout=adummy");
    JwInstance program(options);
    Phone phone(program.start() ? program.port() : 0);
    if (!program.isRunning() || !phone.connectToHost() || phone.login("bench").isEmpty() ||
        !phone.ask("mode", {{"value", "show"}})) {
        std::fprintf(stderr, "bench_video: no program to log in to %s\n",
                     qPrintable(program.errorString()));
        return false;
    }
    for (QDeadlineTimer up(kTimeoutMs);
         !probe.isViewable(probe.findWindow("Tovanel-演示模式")) && !up.hasExpired();)
        QThread::msleep(20);
    measure(r, probe, http, program, phone);
    return true;
}

// A figure, or "failed" when it was not measured.
QString fixed(double v, int decimals, const QString& unit = {})
{
    return v < 0 ? QStringLiteral("failed") : QString::number(v, 'f', decimals) + unit;
}

// "median ms (min–max)" and the runs that timed out.
QString range(const QVector<double>& times)
{
    const QVector<double> v = measured(times);
    const int missed = times.size() - v.size();
    return v.isEmpty()
               ? fixed(-1, 0)
               : QStringLiteral("%1 (%2–%3)%4")
                     .arg(fixed(median(v), 1, " ms"), fixed(v.first(), 1), fixed(v.last(), 1))
                     .arg(missed ? QStringLiteral(", %1 missed").arg(missed) : "");
}

QString mib(qint64 kib)
{
    return QString::number(double(kib) / 1024, 'f', 1);
}

void row(const QString& measure, const QString& goal, const QString& measured, int met = -1)
{
    std::printf("| %s | %s | %s | %s |\n", qPrintable(measure), qPrintable(goal),
                qPrintable(measured), met < 0 ? "" : (met ? "met" : "missed"));
}

void report(const Results& r, const Options& o)
{
    const double frame = median(r.frame), ref = median(r.reference);
    const double ratio = frame > 0 && ref > 0 ? frame / ref : -1;
    const double cpuRatio = r.cpu > 0 && r.referenceCpu > 0 ? r.cpu / r.referenceCpu : -1;
    std::printf("| measure | goal | measured | |\n|---|---|---|---|\n");
    row(QStringLiteral("\"show.video\" to the \"playing\" report, median (min–max) of %1")
            .arg(kRuns),
        {}, range(r.playing));
    row("same, to the first frame on the screen", "≤ 500 ms", range(r.frame),
        frame >= 0 && frame <= 500);
    row(QStringLiteral("cvlc --vout=%1, process start to the first frame").arg(o.vout), {},
        range(r.reference));
    row("first frame, program ÷ cvlc (medians)", "≤ 1.2", fixed(ratio, 2),
        ratio >= 0 && ratio <= 1.2);
    row("video output modules loaded in the program", {}, r.outputs.isEmpty() ? "?" : r.outputs);
    row(QStringLiteral("CPU time over %1 s of playback, program / cvlc").arg(kCpuSeconds), {},
        fixed(r.cpu, 2, " s") + " / " + fixed(r.referenceCpu, 2, " s"));
    row("same, program ÷ cvlc", "≤ 1.1", fixed(cpuRatio, 2), cpuRatio >= 0 && cpuRatio <= 1.1);
    const qint64 shown = r.rssShown, first = r.rssAfter.value(1, -1);
    const qint64 tenth = r.rssAfter.value(10, -1), last = r.rssAfter.value(kSeries, -1);
    if (shown <= 0 || first <= 0 || last <= 0)
        return row("RSS of the program", {}, fixed(-1, 0), 0);
    row("RSS of a fresh program with the picture shown → after its first video (one player)", {},
        QStringLiteral("%1 → %2 MiB (+%3)").arg(mib(shown), mib(first), mib(first - shown)));
    row(QStringLiteral("same, after video 1 → 10 → %1 opened one after another").arg(kSeries),
        QStringLiteral("growth ≤ one player"),
        QStringLiteral("%1 → %2 → %3 MiB (+%4)")
            .arg(mib(first), mib(tenth), mib(last), mib(last - first)),
        last - first <= first - shown);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const Options options = parse(app.arguments());
    X11Probe probe;
    if (!probe.isOpen()) {
        std::fprintf(stderr, "bench_video: needs an X server of 1920x1080 in $DISPLAY\n");
        return 2;
    }
    QTemporaryDir tmp;
    QFile video(options.video.isEmpty() ? makeVideo(tmp.path()) : options.video);
    TestHttpServer http;
    if (!video.open(QIODevice::ReadOnly) || !http.start()) {
        std::fprintf(stderr, "bench_video: no video (did ffmpeg fail?) or no HTTP server\n");
        return 1;
    }
    http.serve("/v.mp4", video.readAll(), "video/mp4");
    http.serve("/blank.png", flatPng(kBlankColour, 1920, 1080), "image/png");

    Results r;
    Reference cvlc(options.vout, tmp.path());
    measureReference(r, probe, http.url("/v.mp4"), cvlc);
    const bool ran = runProgram(r, options, probe, http, measureFirstFrames) &&
                     runProgram(r, options, probe, http, measureSeries);
    report(r, options);
    return ran ? 0 : 1;
}
