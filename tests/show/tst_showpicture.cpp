// The picture fetcher on the offscreen platform, against a local HTTP server that
// misbehaves in the ways real picture addresses do; the fitting arithmetic; and
// what decoding a small but huge picture costs.

#include "flatpng.h"
#include "httpserver.h"
#include "jwinstance.h"

#include "base/picturedecode.h"
#include "show/fitsize.h"
#include "show/picturefetcher.h"

#include <QtTest>
#include <zlib.h>

namespace
{

QByteArray bigEndian(quint32 v)
{
    QByteArray out(4, '\0');
    qToBigEndian(v, out.data());
    return out;
}

QByteArray pngChunk(const char* type, const QByteArray& data)
{
    const QByteArray typed = QByteArray(type) + data;
    return bigEndian(quint32(data.size())) + typed +
           bigEndian(quint32(
               crc32(0, reinterpret_cast<const Bytef*>(typed.constData()), uInt(typed.size()))));
}

// A picture of one colour the way a hostile server makes it: its rows deflated
// one at a time, so that neither the test nor the file ever holds the picture
// (100 megapixels of 16-bit pixels are half a megabyte). `pixel` is one pixel's
// bytes: 3 or 4 channels of bitDepth bits, big-endian.
QByteArray filledPng(int width, int height, int bitDepth, const QByteArray& pixel)
{
    const int channels = pixel.size() * 8 / bitDepth;
    const QByteArray header = bigEndian(quint32(width)) + bigEndian(quint32(height)) +
                              char(bitDepth) + char(channels == 4 ? 6 : 2) +
                              QByteArray(3, '\0'); // deflate, no filter choice, not interlaced
    const QByteArray row = QByteArray(1, '\0') + pixel.repeated(width); // filter byte: none
    QByteArray idat;
    z_stream z{};
    deflateInit(&z, Z_BEST_COMPRESSION);
    char out[1 << 16];
    for (int y = 0; y <= height; ++y) {
        const bool last = y == height;
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(row.constData()));
        z.avail_in = last ? 0 : uInt(row.size());
        do {
            z.next_out = reinterpret_cast<Bytef*>(out);
            z.avail_out = sizeof out;
            deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
            idat.append(out, int(sizeof out - z.avail_out));
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", header) + pngChunk("IDAT", idat) +
           pngChunk("IEND", QByteArray());
}

// The PNG as the one picture of an icon, whose directory says 256 x 256.
QByteArray inIcon(const QByteArray& png)
{
    QByteArray icon;
    QDataStream s(&icon, QIODevice::WriteOnly);
    s.setByteOrder(QDataStream::LittleEndian);
    s << quint16(0) << quint16(1) << quint16(1) // an icon with one picture
      << quint8(0) << quint8(0) << quint8(0) << quint8(0) << quint16(1) << quint16(32)
      << quint32(png.size()) << quint32(22);
    return icon + png;
}

// A memory figure of this process (VmRSS, or VmHWM: the peak since resetPeak()),
// in KiB; -1 when unknown.
qint64 statusKiB(const char* field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    const auto m = QRegularExpression(QLatin1String(field) + QStringLiteral(":\\s+(\\d+)"))
                       .match(f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray());
    return m.hasMatch() ? m.captured(1).toLongLong() : -1;
}
bool resetPeak()
{
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    return f.open(QIODevice::WriteOnly) && f.write("5") == 1;
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

class TestShowPicture : public QObject
{
    Q_OBJECT
    TestHttpServer m_http;

private slots:
    void initTestCase() { QVERIFY(m_http.start()); }

    void fitSizeCases_data()
    {
        QTest::addColumn<QSize>("picture");
        QTest::addColumn<QSize>("area");
        QTest::addColumn<QSize>("expected");
        QTest::newRow("width limits") << QSize(1600, 900) << QSize(1280, 800) << QSize(1280, 720);
        QTest::newRow("height limits") << QSize(900, 1600) << QSize(1280, 800) << QSize(450, 800);
        QTest::newRow("never enlarged") << QSize(320, 200) << QSize(1920, 1080) << QSize(320, 200);
        // 1073 * 108 / 116 is 998.9999...; the single-precision ratio rounds it up to 999.
        QTest::newRow("float") << QSize(116, 1073) << QSize(108, 1000) << QSize(108, 999);
        QTest::newRow("no area yet") << QSize(320, 200) << QSize(0, 0) << QSize(0, 0);
    }
    void fitSizeCases()
    {
        QFETCH(QSize, picture);
        QFETCH(QSize, area);
        QFETCH(QSize, expected);
        QCOMPARE(fitSize(picture.width(), picture.height(), area.width(), area.height()), expected);
    }

    // While one download runs, a flood of requests keeps only the newest waiting;
    // they are fetched one after another, and addresses that cannot be fetched
    // are dropped without stalling the queue.
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
        QCOMPARE(f.shown, (QList<QRgb>{qRgb(200, 0, 0), qRgb(0, 0, 200)}));
    }

    void failedDownload_data()
    {
        QTest::addColumn<QString>("kind");
        for (const char* kind : {"404", "truncated", "refused", "silent", "trickle", "megapixels",
                                 "file", "data", "not a picture"})
            QTest::newRow(kind) << QString(kind);
    }
    // A bad address brings no picture (a body that is no picture at all brings the
    // empty one) and holds up the next request only within its bounds. Bodies past
    // the byte bound are the load suite's case.
    void failedDownload()
    {
        QFETCH(QString, kind);
        Fetcher f;
        f.setTransferTimeout(700);
        const QString tag = "/" + QString(QTest::currentDataTag()).replace(' ', '_');
        const QByteArray bad = flatPng(qRgb(255, 0, 255), 400, 300);
        QString badUrl = m_http.url(tag + "/bad");
        TestHttpServer::Route r;
        if (kind == "404") {
            r = {bad, "image/png", 404};
        } else if (kind == "truncated") {
            r.body = bad.left(bad.size() / 2);
            r.declaredLength = bad.size();
        } else if (kind == "refused") {
            badUrl = QString("http://127.0.0.1:%1/gone.png").arg(jwtest::freePort());
        } else if (kind == "silent") {
            r.silent = true;
        } else if (kind == "trickle") {
            // Never silent for the transfer timeout, never over the size limit.
            f.setDownloadDeadline(2000);
            r.chunkBytes = 1;
            r.intervalMs = 100;
        } else if (kind == "megapixels") {
            r.body = "P6\n12000 10000\n255\n"; // a header announcing 120 megapixels
        } else if (kind == "file") {
            badUrl = QUrl::fromLocalFile(JW_SOURCE_DIR "/src/resources/screen.png").toString();
        } else if (kind == "data") {
            badUrl = "data:image/png;base64," + bad.toBase64();
        } else if (kind == "not a picture") {
            r = {"<html><body>not a picture</body></html>", "text/html"};
        }
        m_http.setRoute(tag + "/bad", r);
        m_http.serve(tag + "/after", flatPng(qRgb(250, 200, 10)), "image/png");
        const qint64 sentBefore = m_http.log().bytesSent;

        f.fetch(badUrl);
        f.fetch(m_http.url(tag + "/after"));
        QTRY_VERIFY_WITH_TIMEOUT(f.idle(), 15000);
        QList<QRgb> shown{qRgb(250, 200, 10)};
        if (kind == "not a picture")
            shown.prepend(0);
        QCOMPARE(f.shown, shown);
        QCOMPARE(m_http.log().requests.count(tag + "/bad"),
                 badUrl == m_http.url(tag + "/bad") ? 1 : 0);
        QVERIFY(m_http.log().bytesSent - sentBefore < 100 << 20);
    }

    // The end of a show drops the download under way (the server never gets to
    // send it) and the requests behind it; the next request starts afresh.
    void dropAllGivesUpEverything()
    {
        Fetcher f;
        m_http.serve("/drop/running.png", flatPng(qRgb(200, 0, 0)), "image/png", 1000);
        m_http.serve("/drop/waiting.png", flatPng(qRgb(0, 200, 0)), "image/png");
        m_http.serve("/drop/after.png", flatPng(qRgb(0, 0, 200)), "image/png");
        f.fetch(m_http.url("/drop/running.png"));
        f.fetch(m_http.url("/drop/waiting.png"));
        QTRY_VERIFY_WITH_TIMEOUT(m_http.log().requests.contains("/drop/running.png"), 5000);
        const qint64 sentBefore = m_http.log().bytesSent;
        f.dropAll();
        QVERIFY(f.idle());
        QTest::qWait(1500); // past the moment the running download would have ended
        QCOMPARE(m_http.log().bytesSent, sentBefore);
        QVERIFY(!m_http.log().requests.contains("/drop/waiting.png"));
        f.fetch(m_http.url("/drop/after.png"));
        QTRY_VERIFY_WITH_TIMEOUT(f.idle(), 5000);
        QCOMPARE(f.shown, QList<QRgb>{qRgb(0, 0, 200)});
    }

    void hugePicturesStayWithinTheirBytes_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QRgb>("shown"); // 0: refused
        const QByteArray deep = filledPng(10000, 10000, 16, QByteArray::fromHex("c0c040402020"));
        QTest::newRow("16-bit, 100 Mpx") << deep << QRgb(0);
        QTest::newRow("16-bit, 100 Mpx, in an icon") << inIcon(deep) << QRgb(0);
        QTest::newRow("16-bit, 25 Mpx")
            << filledPng(5000, 5000, 16, QByteArray::fromHex("c0c040402020"))
            << qRgb(0xc0, 0x40, 0x20);
        QTest::newRow("8-bit with alpha, 100 Mpx")
            << filledPng(10000, 10000, 8, QByteArray::fromHex("2040c0ff"))
            << qRgb(0x20, 0x40, 0xc0);
    }
    // However few bytes a picture has, fetching it for a 1920 x 1080 screen (and
    // checking an upload of it) costs at most the decoding bound: it is refused, or
    // handed on with at most 8 bits a channel and no more pixels than needed.
    void hugePicturesStayWithinTheirBytes()
    {
        QFETCH(QByteArray, body);
        QFETCH(QRgb, shown);
        if (!jwtest::kMemoryBounded || !resetPeak())
            QSKIP("needs an uninstrumented build and a resettable peak (Linux /proc)");
        Fetcher f;
        f.setDecodeArea([] { return QSize(1920, 1080); });
        const QString path = "/huge/" + QString(QTest::currentDataTag()).replace(' ', '_');
        m_http.serve(path, body, "image/png");

        const qint64 bound = kMaxPictureDecodeBytes >> 20;
        QVERIFY(resetPeak());
        qint64 base = statusKiB("VmRSS");
        f.fetch(m_http.url(path));
        QTRY_VERIFY_WITH_TIMEOUT(f.idle(), 30000);
        const qint64 showPeak = (statusKiB("VmHWM") - base) >> 10;
        QVERIFY2(showPeak < bound, qPrintable(QStringLiteral("shown: +%1 MiB").arg(showPeak)));
        QCOMPARE(f.shown, shown ? QList<QRgb>{shown} : QList<QRgb>{});

        QVERIFY(resetPeak());
        base = statusKiB("VmRSS");
        QCOMPARE(CheckPicture(body), shown != 0);
        const qint64 checkPeak = (statusKiB("VmHWM") - base) >> 10;
        QVERIFY2(checkPeak < bound, qPrintable(QStringLiteral("checked: +%1 MiB").arg(checkPeak)));
    }
};

QTEST_MAIN(TestShowPicture)
#include "tst_showpicture.moc"
