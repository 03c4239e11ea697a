// The show window's picture handling on the offscreen platform: the fitting
// arithmetic, the picture rectangle, and the download queue against a local
// HTTP server that misbehaves in the ways real picture addresses do.

#include "httpserver.h"
#include "showtestutil.h"

#include "app/appglobals.h"
#include "show/fitsize.h"
#include "show/jwshowui.h"
#include "show/showimagerect.h"

#include <QGraphicsView>
#include <QScreen>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

namespace
{

quint32 crc32(const QByteArray& data)
{
    quint32 crc = 0xffffffffu;
    for (char c : data) {
        crc ^= quint8(c);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// A PNG that claims w x h pixels in a valid header and then ends: a few bytes
// that would cost gigabytes if decoded on trust.
QByteArray pngHeaderOnly(quint32 w, quint32 h)
{
    QByteArray ihdr("IHDR");
    char be[4];
    qToBigEndian(w, be);
    ihdr.append(be, 4);
    qToBigEndian(h, be);
    ihdr.append(be, 4);
    ihdr.append("\x08\x02\x00\x00\x00", 5); // 8-bit RGB, no interlace
    QByteArray png("\x89PNG\r\n\x1a\n", 8);
    qToBigEndian(quint32(13), be);
    png.append(be, 4);
    png.append(ihdr);
    qToBigEndian(crc32(ihdr), be);
    png.append(be, 4);
    // The decoder reads chunks up to the first IDAT before it knows the size.
    const auto chunk = [&png, &be](const QByteArray& type, const QByteArray& data) {
        qToBigEndian(quint32(data.size()), be);
        png.append(be, 4);
        png.append(type + data);
        qToBigEndian(crc32(type + data), be);
        png.append(be, 4);
    };
    chunk("IDAT", QByteArray("\x78\x9c\x01\x00\x00\xff\xff", 7));
    chunk("IEND", QByteArray());
    return png;
}

QRgb sourceColour(const JWShowUi& ui)
{
    const QPixmap p = ui.sourcePicture();
    return p.isNull() ? 0 : p.toImage().pixel(p.width() / 2, p.height() / 2);
}

bool idle(const JWShowUi& ui)
{
    return !ui.isFetching() && ui.pendingPictures() == 0;
}

QRect imageRect()
{
    return QRect(ShowImageRect.left, ShowImageRect.top, ShowImageRect.width, ShowImageRect.height);
}

} // namespace

class TestShowPicture : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void fitSizeCases_data();
    void fitSizeCases();
    void pictureRectFollowsWindow();
    void queueShowsPicturesOneAfterAnother();
    void failedDownloadKeepsPicture_data();
    void failedDownloadKeepsPicture();
    void undecodableBodyShowsEmptyPicture();
    void emptyAndRefusedAddressesDoNotStallQueue();
    void closeDuringSetImageDoesNotDeadlock();

private:
    void showAndWait(JWShowUi& ui, const QString& url, QRgb colour);
    TestHttpServer m_http;
};

void TestShowPicture::initTestCase()
{
    QVERIFY(m_http.start());
    g_autoFull = false;
}

void TestShowPicture::fitSizeCases_data()
{
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<QSize>("area");
    QTest::addColumn<QSize>("expected");
    QTest::newRow("wide, width limits") << QSize(1600, 900) << QSize(1280, 800) << QSize(1280, 720);
    QTest::newRow("tall, height limits") << QSize(900, 1600) << QSize(1280, 800) << QSize(450, 800);
    QTest::newRow("only height too big") << QSize(700, 1000) << QSize(800, 600) << QSize(420, 600);
    QTest::newRow("only width too big") << QSize(1000, 100) << QSize(800, 600) << QSize(800, 80);
    QTest::newRow("smaller is not enlarged")
        << QSize(320, 200) << QSize(1920, 1080) << QSize(320, 200);
    QTest::newRow("exact fit") << QSize(1920, 1080) << QSize(1920, 1080) << QSize(1920, 1080);
    QTest::newRow("equal ratios") << QSize(3840, 2160) << QSize(1920, 1080) << QSize(1920, 1080);
    // 1073 * 108 / 116 is 998.9999...; the single-precision ratio rounds it up to 999.
    QTest::newRow("single precision") << QSize(116, 1073) << QSize(108, 1000) << QSize(108, 999);
    QTest::newRow("empty picture") << QSize(0, 0) << QSize(800, 600) << QSize(0, 0);
}

void TestShowPicture::fitSizeCases()
{
    QFETCH(QSize, picture);
    QFETCH(QSize, area);
    QFETCH(QSize, expected);
    QCOMPARE(fitSize(picture.width(), picture.height(), area.width(), area.height()), expected);
}

// The rectangle the pointer is mapped onto must be where the picture's pixels are,
// after showing, moving and resizing the window.
void TestShowPicture::pictureRectFollowsWindow()
{
    JWShowUi ui;
    ui.initShowUi();
    QCOMPARE(ui.windowTitle(), QStringLiteral("Tovanel-演示模式"));
    QCOMPARE(ui.size(), QSize(800, 600));
    ui.showui();
    QVERIFY(QTest::qWaitForWindowExposed(&ui));
    QVERIFY(!ui.isFullScreen());
    QVERIFY(ui.windowFlags() & Qt::WindowStaysOnTopHint);

    const QColor red(220, 20, 30);
    ui.SetImage(flatImage(red, 1600, 900));
    // 1600x900 in 800x600: 800x450, 75 pixels of background above and below. The
    // client area's origin is estimated from the frame: half its extra width to
    // the left, three quarters of its extra height above.
    const auto clientOrigin = [&ui]() {
        const QSize extra = ui.frameGeometry().size() - ui.size();
        return ui.pos() + QPoint(extra.width() / 2, 3 * extra.height() / 4);
    };
    const QPoint origin = clientOrigin();
    QCOMPARE(imageRect(), QRect(origin.x(), origin.y() + 75, 800, 450));
    QImage shot = ui.grab().toImage();
    QCOMPARE(shot.size(), QSize(800, 600));
    QCOMPARE(shot.pixel(400, 300), red.rgb());
    QCOMPARE(shot.pixel(0, 75), red.rgb());
    QCOMPARE(shot.pixel(799, 524), red.rgb());
    QVERIFY(shot.pixel(400, 74) != red.rgb());
    QVERIFY(shot.pixel(400, 525) != red.rgb());

    ui.move(ui.pos() + QPoint(37, 21));
    QTRY_COMPARE(imageRect(), QRect(origin.x() + 37, origin.y() + 21 + 75, 800, 450));

    // Refitted from the source picture, not from the scaled copy.
    ui.resize(640, 480);
    QTRY_COMPARE(imageRect().size(), QSize(640, 360));
    QCOMPARE(imageRect().topLeft(), clientOrigin() + QPoint(0, 60));
    QCOMPARE(ui.sourcePicture().size(), QSize(1600, 900));
    shot = ui.grab().toImage();
    QCOMPARE(shot.pixel(320, 60), red.rgb());
    QVERIFY(shot.pixel(320, 59) != red.rgb());

    // A small picture keeps its size and sits in the middle.
    ui.SetImage(flatImage(Qt::blue, 100, 50));
    QCOMPARE(imageRect(), QRect(clientOrigin() + QPoint(270, 215), QSize(100, 50)));
    shot = ui.grab().toImage();
    QCOMPARE(shot.pixel(270, 215), QColor(Qt::blue).rgb());
    QCOMPARE(shot.pixel(369, 264), QColor(Qt::blue).rgb());
    QVERIFY(shot.pixel(269, 215) != QColor(Qt::blue).rgb());
    QVERIFY(shot.pixel(370, 264) != QColor(Qt::blue).rgb());
}

void TestShowPicture::showAndWait(JWShowUi& ui, const QString& url, QRgb colour)
{
    ui.addDataToQueue(7, url);
    QTRY_VERIFY_WITH_TIMEOUT(idle(ui) && sourceColour(ui) == colour, 10000);
}

void TestShowPicture::queueShowsPicturesOneAfterAnother()
{
    JWShowUi ui;
    ui.initShowUi();
    const QColor colours[] = {QColor(200, 0, 0), QColor(0, 200, 0), QColor(0, 0, 200)};
    const QString paths[] = {"/q/a.png", "/q/b.png", "/q/c.png"};
    for (int i = 0; i < 3; ++i)
        m_http.serve(paths[i], flatPng(colours[i]), "image/png", 300);

    const int before = m_http.requests().size();
    for (const QString& p : paths)
        emit ui.msg_addJwMess(3, m_http.url(p)); // as the dispatcher does

    QList<QRgb> seen;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 10000 && !(idle(ui) && sourceColour(ui) == colours[2].rgb())) {
        QTest::qWait(5);
        const QRgb now = sourceColour(ui);
        if (now && (seen.isEmpty() || seen.last() != now))
            seen.append(now);
    }
    QCOMPARE(seen, (QList<QRgb>{colours[0].rgb(), colours[1].rgb(), colours[2].rgb()}));
    QCOMPARE(m_http.requests().mid(before), (QStringList{paths[0], paths[1], paths[2]}));
    QCOMPARE(m_http.maxConcurrent(), 1);
}

void TestShowPicture::failedDownloadKeepsPicture_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("404 with a picture as body") << "404";
    QTest::newRow("truncated body") << "truncated";
    QTest::newRow("connection refused") << "refused";
    QTest::newRow("server never answers") << "silent";
    QTest::newRow("declared body over the limit") << "declared";
    QTest::newRow("endless body without length") << "endless";
    QTest::newRow("header claims 120 megapixels") << "megapixels";
    QTest::newRow("file address") << "file";
    QTest::newRow("data address") << "data";
}

// Each bad address leaves the picture on screen as it was, and the next request
// is still served.
void TestShowPicture::failedDownloadKeepsPicture()
{
    QFETCH(QString, kind);
    JWShowUi ui;
    ui.initShowUi();
    ui.setTransferTimeout(700);

    const QColor before(10, 120, 240);
    const QColor after(250, 200, 10);
    const QColor bad(255, 0, 255);
    const QString tag = "/" + QString(QTest::currentDataTag()).replace(' ', '_');
    m_http.serve(tag + "/before.png", flatPng(before), "image/png");
    m_http.serve(tag + "/after.png", flatPng(after), "image/png");
    showAndWait(ui, m_http.url(tag + "/before.png"), before.rgb());

    QTemporaryDir dir;
    QString badUrl = m_http.url(tag + "/bad");
    TestHttpServer::Route route;
    route.contentType = "image/png";
    const qint64 sentBefore = m_http.bytesSent();
    if (kind == "404") {
        route.status = 404;
        route.body = flatPng(bad);
    } else if (kind == "truncated") {
        route.body = flatPng(bad, 400, 300);
        route.behaviour = TestHttpServer::Behaviour::Truncated;
        route.truncateAt = route.body.size() / 2;
    } else if (kind == "refused") {
        TestHttpServer closed;
        QVERIFY(closed.start());
        badUrl = closed.url("/gone.png"); // its port closes with it
    } else if (kind == "silent") {
        route.behaviour = TestHttpServer::Behaviour::NeverAnswer;
    } else if (kind == "declared") {
        route.behaviour = TestHttpServer::Behaviour::Endless;
        route.declaredLength = 200LL * 1024 * 1024;
        route.chunkBytes = 1024;
        route.intervalMs = 20;
    } else if (kind == "endless") {
        route.behaviour = TestHttpServer::Behaviour::Endless;
        route.chunkBytes = 1024 * 1024;
        route.intervalMs = 1;
    } else if (kind == "megapixels") {
        route.body = pngHeaderOnly(12000, 10000);
    } else if (kind == "file") {
        const QString path = dir.filePath("local.png");
        QVERIFY(flatImage(bad, 64, 48).save(path));
        badUrl = QUrl::fromLocalFile(path).toString();
    } else if (kind == "data") {
        badUrl = "data:image/png;base64," + QString::fromLatin1(flatPng(bad).toBase64());
    }
    m_http.setRoute(tag + "/bad", route);

    ui.addDataToQueue(7, badUrl);
    QTRY_VERIFY_WITH_TIMEOUT(idle(ui), 15000);
    QCOMPARE(sourceColour(ui), before.rgb());
    if (badUrl.startsWith("http://127.0.0.1:" + QString::number(m_http.port())))
        QCOMPARE(m_http.requestCount(tag + "/bad"), 1);
    if (kind == "endless")
        QVERIFY2(m_http.bytesSent() - sentBefore < 100LL * 1024 * 1024,
                 "the download went on past the limit");

    showAndWait(ui, m_http.url(tag + "/after.png"), after.rgb());
}

// A body that is no picture shows an empty picture: the controller sees that its
// address was wrong instead of an old picture that looks like success.
void TestShowPicture::undecodableBodyShowsEmptyPicture()
{
    JWShowUi ui;
    ui.initShowUi();
    m_http.serve("/u/before.png", flatPng(Qt::red), "image/png");
    m_http.serve("/u/page.html", "<html><body>not a picture</body></html>", "text/html");
    m_http.serve("/u/after.png", flatPng(Qt::green, 100, 80), "image/png");
    showAndWait(ui, m_http.url("/u/before.png"), QColor(Qt::red).rgb());

    ui.addDataToQueue(7, m_http.url("/u/page.html"));
    QTRY_VERIFY_WITH_TIMEOUT(idle(ui) && ui.sourcePicture().isNull(), 10000);
    QCOMPARE(imageRect().size(), QSize(0, 0));
    QVERIFY(ui.pictureView()->scene()->items().size() <= 1);

    showAndWait(ui, m_http.url("/u/after.png"), QColor(Qt::green).rgb());
    QCOMPARE(imageRect().size(), QSize(100, 80));
}

void TestShowPicture::emptyAndRefusedAddressesDoNotStallQueue()
{
    JWShowUi ui;
    ui.initShowUi();
    m_http.serve("/s/last.png", flatPng(Qt::cyan), "image/png", 200);
    m_http.serve("/s/first.png", flatPng(Qt::yellow), "image/png", 200);
    ui.addDataToQueue(7, m_http.url("/s/first.png"));
    // Queued behind a download in flight, then worked off without a further request.
    ui.addDataToQueue(7, QString());
    ui.addDataToQueue(7, QStringLiteral("file:///etc/hostname"));
    ui.addDataToQueue(7, QStringLiteral("not even an address"));
    ui.addDataToQueue(7, m_http.url("/s/last.png"));
    QCOMPARE(ui.pendingPictures(), 4);
    QTRY_VERIFY_WITH_TIMEOUT(idle(ui) && sourceColour(ui) == QColor(Qt::cyan).rgb(), 10000);
    QCOMPARE(m_http.requestCount("/s/first.png"), 1);
}

// A queued close that SetImage's own event processing delivers shows the default
// picture from inside SetImage; that must neither block nor lose the window state.
void TestShowPicture::closeDuringSetImageDoesNotDeadlock()
{
    Q_INIT_RESOURCE(jw);
    JWShowUi ui;
    ui.initShowUi();
    ui.showui();
    QVERIFY(QTest::qWaitForWindowExposed(&ui));
    const QImage defaultPicture(QStringLiteral(":/jw/screen"));
    QVERIFY(!defaultPicture.isNull());

    QMetaObject::invokeMethod(&ui, "msg_close", Qt::QueuedConnection);
    ui.SetImage(flatImage(Qt::magenta, 200, 100));
    QVERIFY(!ui.isVisible());
    QCOMPARE(ui.sourcePicture().toImage().convertToFormat(QImage::Format_RGB32),
             defaultPicture.convertToFormat(QImage::Format_RGB32));
    QVERIFY(ui.isPictureMode());

    // Shown again later, with the default picture centred.
    ui.showui();
    QVERIFY(QTest::qWaitForWindowExposed(&ui));
    QCOMPARE(imageRect().size(), defaultPicture.size());
    const QImage shot = ui.grab().toImage();
    const QPoint at((ui.width() - defaultPicture.width()) / 2,
                    (ui.height() - defaultPicture.height()) / 2);
    QCOMPARE(shot.pixel(at + QPoint(10, 10)),
             defaultPicture.convertToFormat(QImage::Format_RGB32).pixel(10, 10));
}

QTEST_MAIN(TestShowPicture)
#include "tst_showpicture.moc"
