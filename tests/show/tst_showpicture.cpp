// The show window's pictures on the offscreen platform: the fitting arithmetic,
// the download queue against a local HTTP server that misbehaves in the ways
// real picture addresses do, and what decoding a small but huge picture costs.

#include "flatpng.h"
#include "httpserver.h"
#include "jwinstance.h"

#include "base/picturedecode.h"
#include "base/showimagerect.h"
#include "show/fitsize.h"
#include "show/jwshowui.h"

#include <QtTest>
#include <limits>
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

} // namespace

class TestShowPicture : public QObject
{
    Q_OBJECT
    TestHttpServer m_http;
    ShowImageRect m_shown; // where the window under test puts its picture

    static QRgb shownColour(const JWShowUi& ui)
    {
        const QPixmap p = ui.sourcePicture();
        return p.isNull() ? 0 : p.toImage().pixel(p.width() / 2, p.height() / 2);
    }
    static bool idle(const JWShowUi& ui) { return !ui.isFetching() && ui.pendingPictures() == 0; }
    static bool showsIdlePicture(const JWShowUi& ui)
    {
        const QImage idlePicture(QStringLiteral(":/jw/screen"));
        return !idlePicture.isNull() &&
               ui.sourcePicture().toImage().convertToFormat(QImage::Format_RGB32) ==
                   idlePicture.convertToFormat(QImage::Format_RGB32);
    }
    void showAndWait(JWShowUi& ui, const QString& path, QRgb colour)
    {
        m_http.serve(path, flatPng(colour), "image/png");
        ui.addDataToQueue(7, m_http.url(path));
        QTRY_VERIFY_WITH_TIMEOUT(idle(ui) && shownColour(ui) == colour, 10000);
    }

private slots:
    void initTestCase()
    {
        Q_INIT_RESOURCE(jw);
        QVERIFY(m_http.start());
    }

    void fitSizeCases_data()
    {
        QTest::addColumn<QSize>("picture");
        QTest::addColumn<QSize>("area");
        QTest::addColumn<QSize>("expected");
        QTest::newRow("width limits") << QSize(1600, 900) << QSize(1280, 800) << QSize(1280, 720);
        QTest::newRow("height limits") << QSize(900, 1600) << QSize(1280, 800) << QSize(450, 800);
        QTest::newRow("width only") << QSize(1000, 100) << QSize(800, 600) << QSize(800, 80);
        QTest::newRow("never enlarged") << QSize(320, 200) << QSize(1920, 1080) << QSize(320, 200);
        // 1073 * 108 / 116 is 998.9999...; the single-precision ratio rounds it up to 999.
        QTest::newRow("float") << QSize(116, 1073) << QSize(108, 1000) << QSize(108, 999);
    }

    void fitSizeCases()
    {
        QFETCH(QSize, picture);
        QFETCH(QSize, area);
        QFETCH(QSize, expected);
        QCOMPARE(fitSize(picture.width(), picture.height(), area.width(), area.height()), expected);
    }

    // Quick requests are fetched one after another, the last one shown; addresses
    // that cannot be fetched are dropped without stalling the queue.
    void queueFetchesOneAtATime()
    {
        JWShowUi ui;
        ui.setPictureRect(&m_shown);
        ui.initShowUi();
        const QList<QRgb> colours{qRgb(200, 0, 0), qRgb(0, 200, 0), qRgb(0, 0, 200)};
        const QStringList paths{"/q/a.png", "/q/b.png", "/q/c.png"};
        const int before = m_http.log().requests.size();
        for (int i = 0; i < 3; ++i)
            m_http.serve(paths[i], flatPng(colours[i]), "image/png", 300);
        for (const QString& url : {m_http.url(paths[0]), QString(), QString("not an address"),
                                   m_http.url(paths[1]), m_http.url(paths[2])})
            emit ui.msg_addJwMess(3, url); // as the dispatcher does
        QCOMPARE(ui.pendingPictures(), 4);
        QTRY_VERIFY_WITH_TIMEOUT(idle(ui) && shownColour(ui) == colours[2], 10000);
        QCOMPARE(m_http.log().requests.mid(before), paths);
        QCOMPARE(m_http.log().maxConcurrent, 1);
    }

    // A flood of requests while one download hangs keeps only the newest waiting.
    void queueKeepsNewestRequests()
    {
        JWShowUi ui;
        ui.setPictureRect(&m_shown);
        ui.initShowUi();
        ui.setTransferTimeout(300);
        m_http.setRoute("/flood/first", {{}, "image/png", 200, 0, true});
        const int before = m_http.log().requests.size();
        ui.addDataToQueue(1, m_http.url("/flood/first"));
        QStringList fetched{"/flood/first"};
        for (int i = 0; i < 100; ++i) {
            ui.addDataToQueue(1, m_http.url("/flood/" + QString::number(i)));
            if (i >= 100 - JWShowUi::kMaxPendingPictures)
                fetched << "/flood/" + QString::number(i);
        }
        QCOMPARE(ui.pendingPictures(), JWShowUi::kMaxPendingPictures);
        QTRY_VERIFY_WITH_TIMEOUT(idle(ui), 15000);
        QCOMPARE(m_http.log().requests.mid(before), fetched);
    }

    void failedDownloadKeepsPicture_data()
    {
        QTest::addColumn<QString>("kind");
        for (const char* kind : {"404", "truncated", "refused", "silent", "trickle", "megapixels",
                                 "file", "data", "not a picture"})
            QTest::newRow(kind) << QString(kind);
    }

    // Each bad address leaves the shown picture as it was, and the next request is
    // still served. (Bodies past the size bound are the load suite's case.) A body that is no
    // picture at all shows the empty picture: the controller sees that its address was wrong
    // instead of an old picture.
    void failedDownloadKeepsPicture()
    {
        QFETCH(QString, kind);
        JWShowUi ui;
        ui.setPictureRect(&m_shown);
        ui.initShowUi();
        ui.setTransferTimeout(700);
        const QString tag = "/" + QString(QTest::currentDataTag()).replace(' ', '_');
        const QRgb before = qRgb(10, 120, 240);
        showAndWait(ui, tag + "/before.png", before);

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
            ui.setDownloadDeadline(2000);
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
        const qint64 sentBefore = m_http.log().bytesSent;

        ui.addDataToQueue(7, badUrl);
        QTRY_VERIFY_WITH_TIMEOUT(idle(ui), 15000);
        const bool empty = kind == "not a picture";
        QCOMPARE(shownColour(ui), empty ? 0 : before);
        QCOMPARE(QSize(m_shown.get().width, m_shown.get().height),
                 empty ? QSize(0, 0) : QSize(64, 48));
        QCOMPARE(m_http.log().requests.count(tag + "/bad"),
                 badUrl == m_http.url(tag + "/bad") ? 1 : 0);
        QVERIFY(m_http.log().bytesSent - sentBefore < 100 << 20);
        showAndWait(ui, tag + "/after.png", qRgb(250, 200, 10));
    }

    // A queued close that SetImage's own event processing delivers shows the default
    // picture from inside SetImage: that must not dead-lock, and the default wins.
    void closeDuringSetImageDoesNotDeadlock()
    {
        JWShowUi ui;
        ui.setPictureRect(&m_shown);
        ui.initShowUi();
        ui.showui();
        QVERIFY(QTest::qWaitForWindowExposed(&ui));
        QMetaObject::invokeMethod(&ui, "msg_close", Qt::QueuedConnection);
        ui.SetImage(QImage::fromData(flatPng(qRgb(255, 0, 255))));
        QVERIFY(!ui.isVisible());
        QVERIFY(showsIdlePicture(ui));
        QVERIFY(ui.isPictureMode());
    }

    // The close that ends a show drops the download under way (the server never
    // gets to send it) and the requests behind it; the next show starts afresh.
    void closeDropsRunningAndWaitingPictures()
    {
        JWShowUi ui;
        ui.setPictureRect(&m_shown);
        ui.initShowUi();
        m_http.serve("/close/running.png", flatPng(qRgb(200, 0, 0)), "image/png", 1000);
        m_http.serve("/close/waiting.png", flatPng(qRgb(0, 200, 0)), "image/png");
        ui.addDataToQueue(7, m_http.url("/close/running.png"));
        ui.addDataToQueue(7, m_http.url("/close/waiting.png"));
        QTRY_VERIFY_WITH_TIMEOUT(m_http.log().requests.contains("/close/running.png"), 5000);
        const qint64 sentBefore = m_http.log().bytesSent;
        emit ui.msg_close();
        QVERIFY(idle(ui));
        QTest::qWait(1500); // past the moment the running download would have ended
        QVERIFY(showsIdlePicture(ui));
        QCOMPARE(m_http.log().bytesSent, sentBefore);
        QVERIFY(!m_http.log().requests.contains("/close/waiting.png"));
        showAndWait(ui, "/close/after.png", qRgb(0, 0, 200));
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

    // However few bytes a picture has, showing it (and checking an upload of it)
    // costs at most the decoding bound: it is refused, or shown with at most 8 bits
    // a channel and no more pixels than the screen needs.
    void hugePicturesStayWithinTheirBytes()
    {
        QFETCH(QByteArray, body);
        QFETCH(QRgb, shown);
        if (!jwtest::kMemoryBounded || !resetPeak())
            QSKIP("needs an uninstrumented build and a resettable peak (Linux /proc)");
        JWShowUi ui;
        ui.setPictureRect(&m_shown);
        ui.initShowUi();
        const QRgb before = qRgb(10, 120, 240);
        const QString tag = "/huge/" + QString(QTest::currentDataTag()).replace(' ', '_');
        showAndWait(ui, tag + "/before.png", before);
        m_http.serve(tag + "/picture.png", body, "image/png");

        const qint64 bound = kMaxPictureDecodeBytes >> 20;
        QVERIFY(resetPeak());
        qint64 base = statusKiB("VmRSS");
        ui.addDataToQueue(7, m_http.url(tag + "/picture.png"));
        QTRY_VERIFY_WITH_TIMEOUT(idle(ui), 30000);
        const qint64 showPeak = (statusKiB("VmHWM") - base) >> 10;
        QVERIFY2(showPeak < bound, qPrintable(QStringLiteral("shown: +%1 MiB").arg(showPeak)));
        QCOMPARE(shownColour(ui), shown ? shown : before);

        QVERIFY(resetPeak());
        base = statusKiB("VmRSS");
        QCOMPARE(CheckPicture(body), shown != 0);
        const qint64 checkPeak = (statusKiB("VmHWM") - base) >> 10;
        QVERIFY2(checkPeak < bound, qPrintable(QStringLiteral("checked: +%1 MiB").arg(checkPeak)));
    }

    // Stepping adds up every fast command in one direction: sums saturate rather
    // than wrap into the other direction, and a change of direction starts over.
    void stepSumsSaturate()
    {
        JWShowUi ui;
        ui.setPictureRect(&m_shown);
        ui.initShowUi();
        const qint64 max = std::numeric_limits<qint64>::max();
        const qint64 min = std::numeric_limits<qint64>::min();
        QList<qint64> steps;
        for (qint64 t : {max - 5, qint64(10), qint64(-5), min + 1, qint64(-10), qint64(7)}) {
            emit ui.msg_SetFast(t);
            steps << ui.stepMs();
        }
        QCOMPARE(steps, (QList<qint64>{max - 5, max, -5, min, min, 7}));
    }
};

QTEST_MAIN(TestShowPicture)
#include "tst_showpicture.moc"
