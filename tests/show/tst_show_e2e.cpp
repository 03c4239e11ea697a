// The real program on the X server of the run: a controller shows the window,
// shows a picture served over HTTP, moves the pointer onto it, hides the window,
// and leaves; everything is checked on the screen through an Xlib probe.

#include "httpserver.h"
#include "jwinstance.h"
#include "showtestutil.h"
#include "x11probe.h"

#include <QJsonObject>
#include <QtTest>

using jwtest::Controller;
using jwtest::JwInstance;
using jwtest::JwInstanceOptions;

namespace
{
const QString kTitle = QStringLiteral("Tovanel-演示模式");

QJsonObject packet(const QString& type, const QString& id, const QString& from)
{
    return QJsonObject{{"type", type}, {"id", id}, {"from", from}};
}
} // namespace

class TestShowE2E : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void showPictureMovePointerHideAndLeave();

private:
    bool viewable() { return m_probe.isViewable(m_probe.findWindow(kTitle)); }
    QRect windowRect() { return m_probe.geometry(m_probe.findWindow(kTitle)); }
    X11Probe m_probe;
    TestHttpServer m_http;
};

void TestShowE2E::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        QSKIP("needs an X server");
    QVERIFY(m_probe.isOpen());
    QCOMPARE(m_probe.screenSize(), QSize(1920, 1080));
    QVERIFY(m_http.start());
    Q_INIT_RESOURCE(jw);
}

void TestShowE2E::showPictureMovePointerHideAndLeave()
{
    JwInstanceOptions options;
    options.useDisplay = true;
    options.config.insert("autofull", "1");
    options.config.insert("runtray", "1");
    JwInstance program(options);
    QVERIFY2(program.start(), qPrintable(program.errorString()));
    QVERIFY(!viewable());

    Controller phone(program.port());
    QVERIFY(phone.connectToHost());
    QCOMPARE(phone.greeting(), jwtest::expectedGreeting());
    QCOMPARE(phone.login("phone1").isEmpty(), false);

    QJsonObject mode = packet("mode", "7", "phone1");
    mode.insert("value", "show");
    QCOMPARE(phone.request(mode),
             QByteArray(
                 R"({"desc":"","from":"jwshow","id":"7","ret":"0","to":"phone1","type":"mode"})"));
    QTRY_VERIFY_WITH_TIMEOUT(viewable(), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(windowRect(), QRect(0, 0, 1920, 1080), 5000);

    const QRgb colour = qRgb(250, 120, 10);
    m_http.serve("/e2e/slide.png", flatPng(QColor(colour), 800, 600), "image/png");
    QJsonObject image = packet("show.image", "8", "phone1");
    image.insert("url", m_http.url("/e2e/slide.png"));
    QCOMPARE(
        phone.request(image),
        QByteArray(
            R"({"desc":"","from":"jwshow","id":"8","ret":"0","to":"phone1","type":"show.image"})"));
    // Centred: 800x600 on 1920x1080 starts at 560,240.
    for (const QPoint& p : {QPoint(960, 540), QPoint(560, 240), QPoint(1359, 839)})
        QTRY_COMPARE_WITH_TIMEOUT(m_probe.pixel(p.x(), p.y()), colour, 10000);
    QVERIFY(m_probe.pixel(559, 240) != colour);
    QVERIFY(m_probe.pixel(1360, 839) != colour);
    QVERIFY(m_probe.pixel(960, 239) != colour);

    QJsonObject move = packet("mouse.move", "9", "phone1");
    move.insert("x", 500);
    move.insert("y", 500);
    QVERIFY(phone.send(move));
    QTRY_COMPARE_WITH_TIMEOUT(m_probe.pointer(), QPoint(960, 540), 5000);
    move.insert("x", 1000);
    move.insert("y", 1000);
    QVERIFY(phone.send(move));
    QTRY_COMPARE_WITH_TIMEOUT(m_probe.pointer(), QPoint(1360, 840), 5000);
    QVERIFY(phone.expectNoReply(300));

    mode.insert("id", "10");
    mode.insert("value", "remote");
    QVERIFY(!phone.request(mode).isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(!viewable(), 5000);

    // The last controller leaving closes the window; shown again later, it
    // holds the default picture instead of the last slide.
    mode.insert("id", "11");
    mode.insert("value", "show");
    QVERIFY(!phone.request(mode).isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(viewable(), 5000);
    QVERIFY(phone.send(packet("logout", "12", "phone1")));
    QVERIFY(phone.waitForClose(5000));
    QTRY_VERIFY_WITH_TIMEOUT(!viewable(), 5000);

    Controller again(program.port());
    QVERIFY(again.connectToHost());
    QCOMPARE(again.login("phone2").isEmpty(), false);
    QJsonObject show = packet("mode", "13", "phone2");
    show.insert("value", "show");
    QVERIFY(!again.request(show).isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(viewable(), 5000);
    const QImage def = QImage(QStringLiteral(":/jw/screen")).convertToFormat(QImage::Format_RGB32);
    QVERIFY(!def.isNull());
    const QRect at(QPoint((1920 - def.width()) / 2, (1080 - def.height()) / 2), def.size());
    QTRY_COMPARE_WITH_TIMEOUT(m_probe.grab(at), def, 5000);

    QVERIFY(program.isRunning());
}

QTEST_MAIN(TestShowE2E)
#include "tst_show_e2e.moc"
