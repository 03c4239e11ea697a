// How long a picture takes from "show.image" to its pixels on the screen, and
// how much memory the program holds after many large pictures.
//
// Runs build/jwshow on the X server of $DISPLAY (Xvfb 1920x1080 is expected),
// serves the pictures from a loopback HTTP server and watches the root window's
// pixels for the distinctive colour in the middle of each picture.
//   xvfb-run -a -s "-screen 0 1920x1080x24" build/bench/show/bench_show

#include "httpserver.h"
#include "jwinstance.h"
#include "x11probe.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QJsonObject>
#include <QPainter>
#include <QRandomGenerator>
#include <QThread>
#include <algorithm>
#include <cstdio>

using jwtest::Controller;
using jwtest::JwInstance;
using jwtest::JwInstanceOptions;

namespace
{

// Photo-like content (gradients and grain) with a flat block of `mark` in the
// middle, which is what the probe looks for.
QImage makePicture(int w, int h, QRgb mark, quint32 seed)
{
    QImage image(w, h, QImage::Format_RGB32);
    QRandomGenerator rng(seed);
    for (int y = 0; y < h; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const int grain = int(rng.bounded(24u));
            line[x] = qRgb((x * 255 / w + grain) & 0xff, (y * 255 / h + grain) & 0xff,
                           ((x + y) * 255 / (w + h) + int(seed)) & 0xff);
        }
    }
    QPainter p(&image);
    p.fillRect(QRect(w / 2 - w / 8, h / 2 - h / 8, w / 4, h / 4), QColor(mark));
    return image;
}

QByteArray encode(const QImage& image, const char* format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format, format == QByteArray("JPG") ? 90 : -1);
    return bytes;
}

bool near(QRgb a, QRgb b)
{
    return qAbs(qRed(a) - qRed(b)) < 20 && qAbs(qGreen(a) - qGreen(b)) < 20 &&
           qAbs(qBlue(a) - qBlue(b)) < 20;
}

QRgb markColour(int i)
{
    // Neighbours differ strongly, so the probe cannot mistake one for the next.
    static const QRgb marks[] = {qRgb(230, 20, 20),  qRgb(20, 20, 230),  qRgb(20, 210, 20),
                                 qRgb(230, 230, 20), qRgb(20, 220, 220), qRgb(220, 20, 220)};
    return marks[i % 6];
}

// Milliseconds from sending the request until the centre shows `mark`; -1 on timeout.
double showAndTime(Controller& phone, X11Probe& probe, const QString& url, QRgb mark, int id)
{
    QJsonObject image{
        {"type", "show.image"}, {"id", QString::number(id)}, {"from", "bench"}, {"url", url}};
    QElapsedTimer clock;
    clock.start();
    phone.send(image);
    while (clock.elapsed() < 30000) {
        if (near(probe.pixel(960, 540), mark))
            return double(clock.nsecsElapsed()) / 1e6;
        QThread::usleep(500);
    }
    return -1;
}

struct Stats {
    double median = 0, min = 0, max = 0;
    int failed = 0;
};

Stats stats(QVector<double> v)
{
    Stats s;
    s.failed = int(std::count(v.begin(), v.end(), -1.0));
    v.erase(std::remove(v.begin(), v.end(), -1.0), v.end());
    if (v.isEmpty())
        return s;
    std::sort(v.begin(), v.end());
    s.min = v.first();
    s.max = v.last();
    s.median = v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    return s;
}

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    X11Probe probe;
    if (!probe.isOpen()) {
        std::fprintf(stderr, "bench_show: needs an X server in $DISPLAY\n");
        return 2;
    }
    TestHttpServer http;
    http.start();

    JwInstanceOptions options;
    options.useDisplay = true;
    options.config.insert("autofull", "1");
    options.config.insert("runtray", "1");
    JwInstance program(options);
    if (!program.start()) {
        std::fprintf(stderr, "bench_show: %s\n", qPrintable(program.errorString()));
        return 1;
    }
    Controller phone(program.port());
    if (!phone.connectToHost() || phone.login("bench").isEmpty()) {
        std::fprintf(stderr, "bench_show: cannot log in\n");
        return 1;
    }
    phone.send(QJsonObject{{"type", "mode"}, {"id", "1"}, {"from", "bench"}, {"value", "show"}});
    QThread::msleep(500);
    const qint64 rssStart = jwtest::rssKiB(program.pid());

    const int runs = 20;
    struct Case {
        const char* name;
        int w, h;
        const char* format;
    };
    const Case cases[] = {{"1920x1080 JPEG", 1920, 1080, "JPG"},
                          {"3840x2160 PNG", 3840, 2160, "PNG"}};
    std::printf("%-16s %6s %10s %10s %10s %10s %7s\n", "picture", "runs", "bytes", "median ms",
                "min ms", "max ms", "missed");
    int id = 10;
    for (const Case& c : cases) {
        QVector<double> times;
        qint64 bytes = 0;
        for (int i = 0; i < runs; ++i) {
            const QByteArray body =
                encode(makePicture(c.w, c.h, markColour(i), quint32(i)), c.format);
            bytes = body.size();
            const QString path = QStringLiteral("/bench/%1/%2").arg(c.w).arg(i);
            http.serve(path, body, c.format == QByteArray("PNG") ? "image/png" : "image/jpeg");
            times.append(showAndTime(phone, probe, http.url(path), markColour(i), ++id));
            phone.nextReply(1000);
        }
        const Stats s = stats(times);
        std::printf("%-16s %6d %10lld %10.1f %10.1f %10.1f %7d\n", c.name, runs,
                    static_cast<long long>(bytes), s.median, s.min, s.max, s.failed);
        std::fflush(stdout);
    }
    const qint64 rssAfterLatency = jwtest::rssKiB(program.pid());

    // Memory: 100 different 4K pictures, each waited for before the next.
    int missed = 0;
    for (int i = 0; i < 100; ++i) {
        const QByteArray body =
            encode(makePicture(3840, 2160, markColour(i), quint32(1000 + i)), "JPG");
        const QString path = QStringLiteral("/bench/rss/%1").arg(i);
        http.serve(path, body, "image/jpeg");
        if (showAndTime(phone, probe, http.url(path), markColour(i), ++id) < 0)
            ++missed;
        phone.nextReply(1000);
    }
    QThread::msleep(1000);
    const qint64 rssAfter100 = jwtest::rssKiB(program.pid());
    std::printf("\nRSS of jwshow (KiB): after show %lld, after the latency runs %lld, "
                "after 100 4K pictures %lld (missed %d)\n",
                static_cast<long long>(rssStart), static_cast<long long>(rssAfterLatency),
                static_cast<long long>(rssAfter100), missed);
    program.stop();
    return 0;
}
