// The show window on a real X server with no window manager (Xvfb), checked from
// outside through an Xlib probe: in process for Esc and the close button, then the
// real program driven by a controller.

#include "flatpng.h"
#include "httpserver.h"
#include "jwinstance.h"
#include "x11probe.h"

#include "base/appinfo.h"
#include "base/showimagerect.h"
#include "show/jwshowui.h"
#include "show/vlc/vlcmediaplayer.h"

#include <QJsonObject>
#include <QScreen>
#include <QtTest>

#include <vlc/vlc.h>

// Counts the events of one type that reach the object it filters.
class EventCounter : public QObject
{
public:
    EventCounter(QEvent::Type type, int* count) : m_type(type), m_count(count) {}
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == m_type)
            ++*m_count;
        return false;
    }

private:
    QEvent::Type m_type;
    int* m_count;
};

class TestShowX11 : public QObject
{
    Q_OBJECT
    X11Probe m_probe;
    QImage m_default;  // the default picture, as the screen shows it
    QRect m_defaultAt; // where, centred on the 1920x1080 screen

    unsigned long window() { return m_probe.findWindow("Tovanel-演示模式"); }
    ShowImageRect m_shown; // where the window under test puts its picture
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
    // Where the window is and what the window manager says of it.
    QString describe()
    {
        const unsigned long w = window();
        const QRect g = m_probe.geometry(w);
        return QString("viewable %1 at %2,%3 %4x%5, state %6")
            .arg(m_probe.isViewable(w))
            .arg(g.x())
            .arg(g.y())
            .arg(g.width())
            .arg(g.height())
            .arg(m_probe.netWmState(w).join(' '));
    }
    bool showsDefault() { return m_probe.grab(m_defaultAt) == m_default; }
    // A packet from phone1 unless fields say otherwise.
    static QJsonObject packet(const char* type, const char* id, QJsonObject fields = {})
    {
        fields.insert("type", type);
        fields.insert("id", id);
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
        ui.initShowUi();
        ui.setAutoFull(true);
        int hides = 0;
        EventCounter counter(QEvent::Hide, &hides);
        ui.installEventFilter(&counter);
        for (int i = 0; i < 6; ++i) {
            emit ui.msg_show();
            QTRY_VERIFY2_WITH_TIMEOUT(m_probe.coversScreen(window()),
                                      qPrintable(QString("round %1: ").arg(i) + describe()), 5000);
            QCOMPARE(hides, i); // only the hide of the round before
            emit ui.msg_show();
            emit ui.msg_show();
            QVERIFY(m_probe.coversScreen(window()));
            QCOMPARE(hides, i);
            emit ui.msg_hide();
        }
    }

    // The video's start runs pending events before it opens the stream; a close
    // among them (its controller gone) leaves nothing to open. A video asked for
    // right after a show that waits for the window manager starts with the show.
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
        ui.initShowUi();
        emit ui.msg_show();
        QTRY_VERIFY(m_probe.isViewable(window()));
        // Queued, as the dispatcher hands them over: a close runs inside the start.
        auto queue = [&ui](std::function<void()> f) {
            QMetaObject::invokeMethod(&ui, std::move(f), Qt::QueuedConnection);
        };
        if (hiddenBefore) {
            queue([&ui] { emit ui.msg_hide(); });
            queue([&ui] { emit ui.msg_show(); });
        }
        queue([&ui] { emit ui.msg_setVideoFile("http://127.0.0.1:9/v.mp4", 7, "phone"); });
        if (closed)
            queue([&ui] { emit ui.msg_close(); });
        QTRY_VERIFY(!ui.isVisible() == closed && ui.isVideoMode() != closed);
        libvlc_media_t* media = libvlc_media_player_get_media(ui.player()->core());
        QCOMPARE(media == nullptr, closed);
        if (media)
            libvlc_media_release(media);
    }

    void escapeAndCloseInProcess()
    {
        JWShowUi ui;
        ui.setPictureRect(&m_shown);
        ui.initShowUi();
        emit ui.msg_show();
        QTRY_COMPARE(m_probe.geometry(window()), QRect(560, 240, 800, 600));
        const QRgb red = qRgb(200, 40, 40);
        ui.SetImage(QImage::fromData(flatPng(red, 1600, 1200)));
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
        emit ui.msg_show();
        QTRY_VERIFY(showsDefault());
    }

    void programShowsMovesHidesAndCloses()
    {
        TestHttpServer http;
        QVERIFY(http.start());
        jwtest::JwInstanceOptions options;
        options.useDisplay = true;
        options.config = {{"autofull", "1"}, {"runtray", "1"}};
        jwtest::JwInstance program(options);
        QVERIFY2(program.start(), qPrintable(program.errorString()));
        QVERIFY(!m_probe.isViewable(window()));

        jwtest::Controller phone(program.port());
        QVERIFY(phone.connectToHost());
        QVERIFY(!phone.login("phone1").isEmpty());
        QCOMPARE(phone.request(packet("mode", "7", {{"value", "show"}})), ok("mode", "7"));
        QTRY_VERIFY_WITH_TIMEOUT(m_probe.isViewable(window()), 5000);
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
        QVERIFY(phone.send(packet("logout", "13")));
        QVERIFY(phone.waitForClose(5000));
        QTRY_VERIFY_WITH_TIMEOUT(!m_probe.isViewable(window()), 5000);
        jwtest::Controller again(program.port());
        QVERIFY(again.connectToHost());
        QVERIFY(!again.login("phone2").isEmpty());
        QVERIFY(!again.request(packet("mode", "14", {{"value", "show"}, {"from", "phone2"}}))
                     .isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(showsDefault(), 5000);
        QVERIFY(program.isRunning());
    }
};

QTEST_MAIN(TestShowX11)
#include "tst_show_x11.moc"
