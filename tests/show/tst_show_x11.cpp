// The show window on a real X server (Xvfb, with or without a window manager),
// checked from outside through an Xlib probe: in process for showing and hiding,
// a video's start, Esc and the close button, then the real program driven by a
// controller.

#include "flatpng.h"
#include "httpserver.h"
#include "jwinstance.h"
#include "x11probe.h"

#include "base/showimagerect.h"
#include "show/jwshowui.h"
#include "show/vlc/vlcmediaplayer.h"

#include <QJsonObject>
#include <QScreen>
#include <QtTest>

#include <vlc/vlc.h>

namespace
{
cmd::ShowState state(cmd::ShowTarget target, bool close = false)
{
    return cmd::ShowState{close, target};
}
const cmd::ShowState kShow = state(cmd::ShowTarget::Shown);
const cmd::ShowState kHide = state(cmd::ShowTarget::Hidden);
const cmd::ShowState kClose = state(cmd::ShowTarget::Keep, true);

// Counts the hide events that reach the object it filters.
struct HideCounter : QObject {
    int hides = 0;
    bool eventFilter(QObject*, QEvent* event) override
    {
        hides += event->type() == QEvent::Hide;
        return false;
    }
};
} // namespace

class TestShowX11 : public QObject
{
    Q_OBJECT
    X11Probe m_probe;
    QImage m_default;      // the default picture, as the screen shows it
    QRect m_defaultAt;     // where, centred on the 1920x1080 screen
    ShowImageRect m_shown; // where the window under test puts its picture

    unsigned long window() { return m_probe.findWindow("Tovanel-演示模式"); }
    QRect imageRect() const
    {
        const ShowImageRect::Rect r = m_shown.get();
        return QRect(r.left, r.top, r.width, r.height);
    }
    // colour fills r on the screen (centre and corners) and stops at its edges.
    bool showsOnly(const QRect& r, QRgb colour)
    {
        for (QPoint p : {r.center(), r.topLeft(), r.topRight(), r.bottomLeft(), r.bottomRight()})
            if (m_probe.pixel(p.x(), p.y()) != colour)
                return false;
        for (QPoint p : {r.topLeft() - QPoint(1, 0), r.topLeft() - QPoint(0, 1),
                         r.bottomRight() + QPoint(1, 0), r.bottomRight() + QPoint(0, 1)})
            if (m_probe.pixel(p.x(), p.y()) == colour) // 0 off the screen
                return false;
        return true;
    }
    bool showsDefault() { return m_probe.grab(m_defaultAt) == m_default; }
    // A packet from phone1 unless fields say otherwise, and its plain answer.
    static QJsonObject packet(const char* type, const char* id, QJsonObject fields = {})
    {
        fields.insert("type", type), fields.insert("id", id);
        fields.insert("from", fields.value("from").toString("phone1"));
        return fields;
    }
    static QByteArray ok(const char* type, const char* id)
    {
        return QByteArray(R"({"desc":"","from":"jwshow","id":")") + id +
               R"(","ret":"0","to":"phone1","type":")" + type + "\"}";
    }

private slots:
    void initTestCase()
    {
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            QSKIP("needs an X server");
        QCOMPARE(QGuiApplication::primaryScreen()->size(), QSize(1920, 1080));
        QVERIFY(m_probe.waitForDesktop());
        Q_INIT_RESOURCE(jw);
        m_default = QImage(":/jw/screen").convertToFormat(QImage::Format_RGB32);
        QVERIFY(!m_default.isNull());
        m_defaultAt = QRect((1920 - m_default.width()) / 2, (1080 - m_default.height()) / 2,
                            m_default.width(), m_default.height());
    }

    // Asked to show, the window covers the screen every time, under a window
    // manager too: shown again while shown it is only raised (hiding it first let
    // the manager, still withdrawing it, forget its full-screen state), and a hide
    // right before a show changes nothing either.
    void fullScreenEveryTime()
    {
        JWShowUi ui;
        ui.setAutoFull(true);
        HideCounter counter;
        ui.installEventFilter(&counter);
        for (int i = 0; i < 6; ++i) {
            ui.apply(kShow);
            QTRY_VERIFY2_WITH_TIMEOUT(
                m_probe.coversScreen(window()),
                qPrintable(QString("round %1: ").arg(i) + m_probe.netWmState(window()).join(' ')),
                5000);
            QCOMPARE(counter.hides, i); // only the hide of the round before
            ui.apply(kShow);
            ui.apply(kShow);
            QVERIFY(m_probe.coversScreen(window()));
            QCOMPARE(counter.hides, i);
            ui.apply(kHide);
        }
    }

    // A close right behind a video's start (its controller gone) leaves nothing
    // open. A video asked for right after a show that waits for the window
    // manager starts with the show. Until its first frame the video is black.
    void videoNotOpenedAfterClose_data()
    {
        QTest::addColumn<bool>("hiddenBefore");
        QTest::addColumn<bool>("closed");
        QTest::newRow("window closed meanwhile") << false << true;
        QTest::newRow("window still shown") << false << false;
        QTest::newRow("shown again right after a hide") << true << false;
    }
    void videoNotOpenedAfterClose()
    {
        QFETCH(bool, hiddenBefore);
        QFETCH(bool, closed);
        JWShowUi ui;
        ui.apply(kShow);
        QTRY_VERIFY(m_probe.isViewable(window()));
        const QPoint inside = m_probe.geometry(window()).topLeft() + QPoint(20, 20);
        QTRY_COMPARE(m_probe.pixel(inside.x(), inside.y()), qRgb(255, 255, 255)); // no picture
        // Queued, as the dispatcher hands them over.
        QList<cmd::ShowCommand> commands{cmd::PlayVideo{"http://127.0.0.1:9/v.mp4", 7, "phone"}};
        if (hiddenBefore)
            commands = QList<cmd::ShowCommand>{kHide, kShow} + commands;
        if (closed)
            commands << kClose;
        for (const cmd::ShowCommand& c : commands)
            QMetaObject::invokeMethod(
                &ui, [&ui, c] { ui.apply(c); }, Qt::QueuedConnection);
        QTRY_VERIFY(!ui.isVisible() == closed && ui.isVideoMode() != closed);
        libvlc_media_t* media = libvlc_media_player_get_media(ui.video().player()->core());
        QCOMPARE(media == nullptr, closed);
        if (media)
            libvlc_media_release(media);
        if (!closed)
            QTRY_COMPARE(m_probe.pixel(inside.x(), inside.y()), qRgb(0, 0, 0));
    }

    void escapeAndCloseInProcess()
    {
        TestHttpServer http;
        QVERIFY(http.start());
        const QRgb red = qRgb(200, 40, 40);
        http.serve("/red.png", flatPng(red, 1600, 1200), "image/png");
        JWShowUi ui;
        ui.setPictureRect(&m_shown);
        ui.apply(kShow);
        QTRY_COMPARE(m_probe.geometry(window()), QRect(560, 240, 800, 600));
        ui.apply(cmd::ShowPicture{7, http.url("/red.png")});
        QTRY_VERIFY(!ui.sourcePicture().isNull());
        QTest::keyClick(&ui, Qt::Key_Escape);
        QTRY_COMPARE(m_probe.geometry(window()), QRect(0, 0, 1920, 1080));
        // 1600 / (1200 / 1080) in single precision is 1439.99..., cut to 1439.
        QTRY_COMPARE(imageRect(), QRect(240, 0, 1439, 1080));
        QTRY_VERIFY(showsOnly(imageRect(), red));

        // Back to 800x600 in the middle, refitted from the source picture; moved,
        // the pointer's rectangle follows the picture.
        QTest::keyClick(&ui, Qt::Key_Escape);
        QTRY_COMPARE(m_probe.geometry(window()), QRect(560, 240, 800, 600));
        QTRY_COMPARE(imageRect(), QRect(560, 240, 800, 600));
        QTRY_VERIFY(showsOnly(imageRect(), red));
        ui.move(ui.pos() + QPoint(37, 21));
        QTRY_COMPARE(imageRect(), QRect(597, 261, 800, 600));
        QTRY_VERIFY(showsOnly(imageRect(), red));

        // The close button hides the window; shown again, it has the default picture.
        QVERIFY(m_probe.sendDeleteWindow(window()));
        QTRY_VERIFY(!m_probe.isViewable(window()));
        ui.setAutoFull(true);
        ui.apply(kShow);
        QTRY_VERIFY(showsDefault());
    }

    void programShowsMovesHidesAndCloses()
    {
        TestHttpServer http;
        QVERIFY(http.start());
        jwtest::JwInstance program(jwtest::presentingOptions());
        QVERIFY2(program.start(), qPrintable(program.errorString()));
        QVERIFY(!m_probe.isViewable(window()));

        jwtest::Controller phone(program.port());
        QVERIFY(phone.connectToHost() && !phone.login("phone1").isEmpty());
        QCOMPARE(phone.request(packet("mode", "7", {{"value", "show"}})), ok("mode", "7"));
        QTRY_COMPARE_WITH_TIMEOUT(m_probe.geometry(window()), QRect(0, 0, 1920, 1080), 5000);
        const QRgb colour = qRgb(250, 120, 10);
        http.serve("/slide.png", flatPng(colour, 800, 600), "image/png");
        QCOMPARE(phone.request(packet("show.image", "8", {{"url", http.url("/slide.png")}})),
                 ok("show.image", "8"));
        QTRY_VERIFY_WITH_TIMEOUT(showsOnly(QRect(560, 240, 800, 600), colour), 10000);

        // Thousandths of the picture: its middle, then its bottom-right corner.
        QVERIFY(phone.send(packet("mouse.move", "9", {{"x", 500}, {"y", 500}})));
        QTRY_COMPARE_WITH_TIMEOUT(m_probe.pointer(), QPoint(960, 540), 5000);
        QVERIFY(phone.send(packet("mouse.move", "10", {{"x", 1000}, {"y", 1000}})));
        QTRY_COMPARE_WITH_TIMEOUT(m_probe.pointer(), QPoint(1360, 840), 5000);
        QVERIFY(phone.expectNoReply(300));
        QCOMPARE(phone.request(packet("mode", "11", {{"value", "remote"}})), ok("mode", "11"));
        QTRY_VERIFY_WITH_TIMEOUT(!m_probe.isViewable(window()), 5000);

        // The last controller leaving closes the window; shown again later, it holds
        // the default picture instead of the last slide.
        QCOMPARE(phone.request(packet("mode", "12", {{"value", "show"}})), ok("mode", "12"));
        QTRY_VERIFY_WITH_TIMEOUT(m_probe.isViewable(window()), 5000);
        QVERIFY(phone.send(packet("logout", "13")) && phone.waitForClose(5000));
        QTRY_VERIFY_WITH_TIMEOUT(!m_probe.isViewable(window()), 5000);
        jwtest::Controller again(program.port());
        QVERIFY(again.connectToHost() && !again.login("phone2").isEmpty());
        QVERIFY(!again.request(packet("mode", "14", {{"value", "show"}, {"from", "phone2"}}))
                     .isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(showsDefault(), 5000);
        QVERIFY(program.isRunning());
    }
};

QTEST_MAIN(TestShowX11)
#include "tst_show_x11.moc"
