// The show window on a real X server with no window manager (Xvfb): full screen
// and back, what lands on the screen's pixels, and the pointer warped onto the
// shown picture. Everything is checked from outside, through an Xlib probe.

#include "showtestutil.h"
#include "x11probe.h"

#include "app/appglobals.h"
#include "host/pointer.h"
#include "show/jwshowui.h"
#include "show/showimagerect.h"

#include <QtTest>

namespace
{
const QString kTitle = QStringLiteral("Tovanel-演示模式");

QRect imageRect()
{
    return QRect(ShowImageRect.left, ShowImageRect.top, ShowImageRect.width, ShowImageRect.height);
}
} // namespace

class TestShowWindowX11 : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void fullScreenPictureAndPointer();
    void escapeTogglesFullScreen();
    void hideCloseAndShowAgain();

private:
    void expectOnScreen(const QRect& rect, QRgb colour);
    X11Probe m_probe;
    std::unique_ptr<JWShowUi> m_ui;
};

void TestShowWindowX11::initTestCase()
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        QSKIP("needs an X server");
    QVERIFY(m_probe.isOpen());
    QCOMPARE(m_probe.screenSize(), QSize(1920, 1080));
    Q_INIT_RESOURCE(jw);
    m_ui = std::make_unique<JWShowUi>();
    m_ui->initShowUi();
    m_ui->showDefaultImage();
    QVERIFY(!m_probe.isViewable(m_probe.findWindow(kTitle)));
}

// The picture's pixels fill rect and stop at its edges.
void TestShowWindowX11::expectOnScreen(const QRect& rect, QRgb colour)
{
    const QPoint inside[] = {rect.center(), rect.topLeft(), rect.bottomRight(), rect.topRight(),
                             rect.bottomLeft()};
    for (const QPoint& p : inside)
        QTRY_COMPARE_WITH_TIMEOUT(m_probe.pixel(p.x(), p.y()), colour, 5000);
    const QPoint outside[] = {rect.topLeft() - QPoint(1, 1), rect.bottomRight() + QPoint(1, 1)};
    for (const QPoint& p : outside) {
        if (QRect(QPoint(0, 0), m_probe.screenSize()).contains(p))
            QVERIFY(m_probe.pixel(p.x(), p.y()) != colour);
    }
}

void TestShowWindowX11::fullScreenPictureAndPointer()
{
    g_autoFull = true;
    emit m_ui->msg_show();
    QTRY_VERIFY(m_probe.isViewable(m_probe.findWindow(kTitle)));
    QTRY_COMPARE(m_probe.geometry(m_probe.findWindow(kTitle)), QRect(0, 0, 1920, 1080));

    const QRgb colour = qRgb(30, 160, 90);
    m_ui->SetImage(flatImage(QColor(colour), 800, 600));
    QCOMPARE(imageRect(), QRect(560, 240, 800, 600));
    expectOnScreen(QRect(560, 240, 800, 600), colour);

    QVERIFY(host::SetCursorPos(MapImagePoint(500, 500).x(), MapImagePoint(500, 500).y()));
    QTRY_COMPARE(m_probe.pointer(), QPoint(960, 540));
    const QPoint corner = MapImagePoint(1000, 1000);
    QVERIFY(host::SetCursorPos(corner.x(), corner.y()));
    QTRY_COMPARE(m_probe.pointer(), QPoint(1360, 840));
    // Off the screen: the server keeps the pointer on it.
    QVERIFY(host::SetCursorPos(5000, -30));
    QTRY_COMPARE(m_probe.pointer(), QPoint(1919, 0));
}

void TestShowWindowX11::escapeTogglesFullScreen()
{
    g_autoFull = true;
    emit m_ui->msg_show();
    QTRY_COMPARE(m_probe.geometry(m_probe.findWindow(kTitle)), QRect(0, 0, 1920, 1080));
    const QRgb colour = qRgb(200, 40, 40);
    m_ui->SetImage(flatImage(QColor(colour), 1600, 1200));
    // 1600 / (1200 / 1080) in single precision is 1439.99..., cut to 1439.
    QCOMPARE(imageRect(), QRect(240, 0, 1439, 1080));
    expectOnScreen(QRect(240, 0, 1439, 1080), colour);

    QTest::keyClick(m_ui.get(), Qt::Key_Escape);
    QVERIFY(!m_ui->isFullScreen());
    QTRY_COMPARE(m_probe.geometry(m_probe.findWindow(kTitle)), QRect(560, 240, 800, 600));
    QTRY_COMPARE(imageRect(), QRect(560, 240, 800, 600));
    expectOnScreen(QRect(560, 240, 800, 600), colour);

    emit m_ui->msg_keyEscPress();
    QTRY_COMPARE(m_probe.geometry(m_probe.findWindow(kTitle)), QRect(0, 0, 1920, 1080));
    QTRY_COMPARE(imageRect(), QRect(240, 0, 1439, 1080));
    expectOnScreen(QRect(240, 0, 1439, 1080), colour);

    // Shown normal when full screen is off; Esc then goes full screen.
    g_autoFull = false;
    emit m_ui->msg_show();
    QTRY_COMPARE(m_probe.geometry(m_probe.findWindow(kTitle)), QRect(560, 240, 800, 600));
    QTest::keyClick(m_ui.get(), Qt::Key_Escape);
    QTRY_COMPARE(m_probe.geometry(m_probe.findWindow(kTitle)), QRect(0, 0, 1920, 1080));
    QTest::keyClick(m_ui.get(), Qt::Key_A); // other keys do nothing
    QTest::qWait(100);
    QCOMPARE(m_probe.geometry(m_probe.findWindow(kTitle)), QRect(0, 0, 1920, 1080));
}

void TestShowWindowX11::hideCloseAndShowAgain()
{
    g_autoFull = true;
    emit m_ui->msg_show();
    QTRY_VERIFY(m_probe.isViewable(m_probe.findWindow(kTitle)));
    m_ui->SetImage(flatImage(Qt::blue, 300, 200));

    emit m_ui->msg_hide();
    QTRY_VERIFY(!m_probe.isViewable(m_probe.findWindow(kTitle)));
    emit m_ui->msg_show();
    QTRY_VERIFY(m_probe.isViewable(m_probe.findWindow(kTitle)));
    expectOnScreen(QRect(810, 440, 300, 200), QColor(Qt::blue).rgb()); // kept while hidden

    // Closed by the window's close request: hidden, with the default picture, and
    // the window survives to be shown again.
    QVERIFY(m_probe.sendDeleteWindow(m_probe.findWindow(kTitle)));
    QTRY_VERIFY(!m_probe.isViewable(m_probe.findWindow(kTitle)));
    emit m_ui->msg_show();
    QTRY_VERIFY(m_probe.isViewable(m_probe.findWindow(kTitle)));
    const QImage def = QImage(QStringLiteral(":/jw/screen")).convertToFormat(QImage::Format_RGB32);
    const QRect at(QPoint((1920 - def.width()) / 2, (1080 - def.height()) / 2), def.size());
    QCOMPARE(imageRect(), at);
    QTRY_COMPARE(m_probe.grab(at), def);

    emit m_ui->msg_close();
    QTRY_VERIFY(!m_probe.isViewable(m_probe.findWindow(kTitle)));
}

QTEST_MAIN(TestShowWindowX11)
#include "tst_showwindow_x11.moc"
