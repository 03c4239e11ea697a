// The picture fetcher against a local HTTP server that misbehaves as real picture
// addresses do, and what decoding a small but huge picture costs.

#include "flatpng.h"
#include "httpserver.h"
#include "jwinstance.h"

#include "base/picturedecode.h"
#include "show/picturefetcher.h"

#include <QtTest>
#include <thread>
#include <zlib.h>

namespace
{
QByteArray bigEndian(quint32 v)
{
    v = qToBigEndian(v);
    return QByteArray(reinterpret_cast<const char*>(&v), 4);
}

// A picture of one colour deflated a row at a time, as a hostile server makes it
// (100 megapixels in half a megabyte). `pixel`: 3 or 4 big-endian channels.
QByteArray filledPng(int width, int height, int bitDepth, const QByteArray& pixel)
{
    auto chunk = [](const char* type, const QByteArray& data) {
        const QByteArray typed = type + data;
        const auto* bytes = reinterpret_cast<const Bytef*>(typed.constData());
        return bigEndian(quint32(data.size())) + typed +
               bigEndian(quint32(crc32(0, bytes, uInt(typed.size()))));
    };
    const QByteArray row = QByteArray(1, '\0') + pixel.repeated(width); // filter byte: none
    QByteArray idat;
    z_stream z{};
    deflateInit(&z, Z_BEST_COMPRESSION);
    char out[1 << 16];
    for (int y = 0; y <= height; ++y) {
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(row.constData()));
        z.avail_in = y < height ? uInt(row.size()) : 0;
        do {
            z.next_out = reinterpret_cast<Bytef*>(out);
            z.avail_out = sizeof out;
            deflate(&z, y < height ? Z_NO_FLUSH : Z_FINISH);
            idat.append(out, int(sizeof out - z.avail_out));
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    const char colourType = pixel.size() * 8 / bitDepth == 4 ? 6 : 2; // RGBA or RGB
    const QByteArray header = bigEndian(quint32(width)) + bigEndian(quint32(height)) +
                              char(bitDepth) + colourType + QByteArray(3, '\0');
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", header) + chunk("IDAT", idat) +
           chunk("IEND", {});
}

// VmRSS, or VmHWM (the peak since peakBase()), in KiB; -1 when unknown.
qint64 statusKiB(const char* field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    const auto m = QRegularExpression(QLatin1String(field) + QStringLiteral(":\\s+(\\d+)"))
                       .match(f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray());
    return m.hasMatch() ? m.captured(1).toLongLong() : -1;
}
// Resets VmHWM and gives the VmRSS to measure from; -1 when either cannot be had.
qint64 peakBase()
{
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    return f.open(QIODevice::WriteOnly) && f.write("5") == 1 ? statusKiB("VmRSS") : -1;
}
// A fetcher that notes the middle pixel of each picture it hands on (0: a null one).
class Fetcher : public PictureFetcher
{
public:
    QList<QRgb> shown;
    Fetcher()
    {
        connect(this, &PictureFetcher::pictureReady, [this](const QImage& p) {
            shown << (p.isNull() ? 0 : p.pixel(p.width() / 2, p.height() / 2));
        });
    }
    bool idle() const { return !isFetching() && pending() == 0; }
};
} // namespace

Q_DECLARE_METATYPE(TestHttpServer::Route)

class TestShowPicture : public QObject
{
    Q_OBJECT
    TestHttpServer m_http;

private slots:
    void initTestCase() { QVERIFY(m_http.start()); }

    // Behind a running download only the newest requests wait, fetched one at a time;
    // addresses that cannot be fetched are dropped without stalling the queue. The end of
    // a show drops the running download unsent and those behind it.
    void queueFetchesNewestOneAtATime()
    {
        Fetcher f;
        const int before = m_http.log().requests.size();
        m_http.serve("/q/first", flatPng(qRgb(200, 0, 0)), "image/png", 300);
        m_http.serve("/q/last", flatPng(qRgb(0, 0, 200)), "image/png");
        f.fetch(m_http.url("/q/first"));
        QStringList fetched{"/q/first"};
        for (int i = 0; i < 100; ++i) {
            f.fetch(m_http.url("/q/" + QString::number(i))); // not found
            if (i >= 100 + 3 - PictureFetcher::kMaxPendingPictures)
                fetched << "/q/" + QString::number(i);
        }
        for (const QString& url : {QString(), QString("not an address"), m_http.url("/q/last")})
            f.fetch(url);
        QCOMPARE(f.pending(), PictureFetcher::kMaxPendingPictures);
        QTRY_VERIFY_WITH_TIMEOUT(f.idle(), 15000);
        QCOMPARE(m_http.log().requests.mid(before), fetched << "/q/last");
        QCOMPARE(m_http.log().maxConcurrent, 1);

        m_http.serve("/q/running", flatPng(qRgb(200, 0, 0)), "image/png", 1000);
        f.fetch(m_http.url("/q/running"));
        f.fetch(m_http.url("/q/waiting"));
        QTRY_VERIFY_WITH_TIMEOUT(m_http.log().requests.contains("/q/running"), 5000);
        const qint64 sentBefore = m_http.log().bytesSent;
        f.dropAll();
        QVERIFY(f.idle());
        QTRY_COMPARE_WITH_TIMEOUT(m_http.log().open, 0, 5000);
        QCOMPARE(m_http.log().bytesSent, sentBefore);
        f.fetch(m_http.url("/q/last"));
        QTRY_VERIFY_WITH_TIMEOUT(f.idle(), 5000);
        QVERIFY(!m_http.log().requests.contains("/q/waiting"));
        QCOMPARE(f.shown, (QList<QRgb>{qRgb(200, 0, 0), qRgb(0, 0, 200), qRgb(0, 0, 200)}));
    }

    // A bad address brings no picture (a body that is no picture, the empty one) and
    // holds up the next only within its bounds; an endless body while the window's
    // thread is busy stops at the byte bound (unsaid gigabytes are the load suite's).
    void failedDownload_data()
    {
        QTest::addColumn<TestHttpServer::Route>("route");
        QTest::addColumn<QString>("url"); // empty: the route's
        const QByteArray bad = flatPng(qRgb(255, 0, 255), 400, 300);
        TestHttpServer::Route r;
        auto row = [&r](const char* name, const QString& url = {}) {
            QTest::newRow(name) << std::exchange(r, {}) << url;
        };
        r = {bad, "image/png", 404};
        row("404");
        r.body = bad.left(bad.size() / 2);
        r.declaredLength = bad.size();
        row("truncated");
        r.silent = true;
        row("silent");
        r.chunkBytes = 1; // never silent for the transfer timeout, never over the size bound
        r.intervalMs = 100;
        row("trickle");
        r.chunkBytes = 4 << 20;
        r.intervalMs = 0;
        row("endless, thread busy");
        row("file", QUrl::fromLocalFile(JW_SOURCE_DIR "/src/resources/screen.png").toString());
        r = {"<html><body>not a picture</body></html>", "text/html"};
        row("not a picture");
    }
    void failedDownload()
    {
        QFETCH(TestHttpServer::Route, route);
        QFETCH(QString, url);
        Fetcher f;
        f.setTransferTimeout(700);
        f.setDownloadDeadline(2000);
        const QString path = "/" + QString(QTest::currentDataTag()).replace(' ', '_');
        m_http.setRoute(path, route);
        const QRgb after = qRgb(250, 200, 10);
        m_http.serve(path + "/after", flatPng(after), "image/png");
        const qint64 sent = m_http.log().bytesSent, base = peakBase();
        f.fetch(url.isEmpty() ? m_http.url(path) : url);
        f.fetch(m_http.url(path + "/after"));
        if (route.intervalMs == 0) {
            QTRY_VERIFY_WITH_TIMEOUT(m_http.log().bytesSent > sent, 5000);
            std::this_thread::sleep_for(std::chrono::seconds(2));
        }
        QTRY_VERIFY_WITH_TIMEOUT(f.idle(), 15000);
        const qint64 peak = (statusKiB("VmHWM") - base) >> 10;
        QVERIFY2(!jwtest::kMemoryBounded || base < 0 || peak < 2 * (kMaxPictureBytes >> 20),
                 qPrintable(QStringLiteral("+%1 MiB").arg(peak)));
        const bool html = route.contentType == "text/html"; // brings the empty picture
        QCOMPARE(f.shown, (html ? QList<QRgb>{0, after} : QList<QRgb>{after}));
        QCOMPARE(m_http.log().requests.count(path), url.isEmpty() ? 1 : 0);
    }

    void hugePicturesStayWithinTheirBytes_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QRgb>("shown"); // 0: refused
        QTest::newRow("16-bit, 100 Mpx")
            << filledPng(10000, 10000, 16, QByteArray::fromHex("c0c040402020")) << QRgb(0);
        QTest::newRow("16-bit, 25 Mpx")
            << filledPng(5000, 5000, 16, QByteArray::fromHex("c0c040402020"))
            << qRgb(0xc0, 0x40, 0x20);
        QTest::newRow("8-bit with alpha, 100 Mpx")
            << filledPng(10000, 10000, 8, QByteArray::fromHex("2040c0ff"))
            << qRgb(0x20, 0x40, 0xc0);
    }
    // Decoding for a 1920 x 1080 screen, and checking an upload, cost at most the
    // decoding bound: refused, or at 8 bits a channel and no more pixels than needed.
    void hugePicturesStayWithinTheirBytes()
    {
        QFETCH(QByteArray, body);
        QFETCH(QRgb, shown);
        for (bool check : {false, true}) {
            const qint64 base = peakBase();
            if (!jwtest::kMemoryBounded || base < 0)
                QSKIP("needs an uninstrumented build and a resettable peak (Linux /proc)");
            QImage image;
            QCOMPARE(check ? CheckPicture(body)
                           : DecodePicture(body, &image, nullptr, {1920, 1080}),
                     shown != 0);
            const qint64 peak = (statusKiB("VmHWM") - base) >> 10;
            QVERIFY2(peak < kMaxPictureDecodeBytes >> 20,
                     qPrintable(QStringLiteral("+%1 MiB").arg(peak)));
            if (!check && shown)
                QCOMPARE(image.pixel(image.width() / 2, image.height() / 2), shown);
        }
    }
};

QTEST_MAIN(TestShowPicture)
#include "tst_showpicture.moc"
