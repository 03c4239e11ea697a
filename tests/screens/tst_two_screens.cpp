// Two screens side by side, a laptop and a projector (scripts/with-xephyr): the
// show window, the boards and the pointer go to the screen the setting names, and
// the settings tab's list changes it at once.
#include "app/application.h"
#include "e2eutil.h"
#include "flatpng.h"
#include "httpserver.h"
#include "jwinstance.h"
#include "x11probe.h"

#include <QtTest>
#include <QtWidgets>

using namespace jwtest;

namespace
{
const QRgb kPicture = qRgb(40, 160, 90), kInk = qRgb(255, 0, 0); // the pen's first colour
} // namespace

class TestTwoScreens : public QObject
{
    Q_OBJECT
    X11Probe probe;
    TestHttpServer http;
    QList<QRect> screens; // as the toolkit lists them, here on the same server
    QStringList names;
    QRect windowAt(const char* title) const { return probe.geometry(probe.findWindow(title)); }

private slots:
    void initTestCase()
    {
        QVERIFY2(probe.isOpen(), "run it under scripts/with-xephyr");
        for (const QScreen* s : QGuiApplication::screens())
            screens << s->geometry(), names << s->name();
        QCOMPARE(screens.size(), 2);
        QVERIFY(http.start());
        http.serve("/p.png", flatPng(kPicture, 400, 300), "image/png");
    }

    void settingChoosesTheScreen() // by position: the second
    {
        JwInstance prog(presentingOptions({{"screen", "2"}}));
        QVERIFY2(prog.start(), qPrintable(prog.errorString()));
        Controller c(prog.port());
        QVERIFY(c.connectToHost() && c.login("p1").contains(R"("ret":"0")"));
        QCOMPARE(c.request(packet("mode", "p1", {{"value", "show"}})),
                 e2e::envelope("2", "p1", "mode"));
        QVERIFY(c.send(packet("show.image", "p1", {{"url", http.url("/p.png")}})));
        const QRect on = screens.at(1);
        const QPoint middle = on.topLeft() + QPoint(on.width() / 2, on.height() / 2);
        QTRY_COMPARE(windowAt("Tovanel-演示模式"), on);
        QTRY_COMPARE(probe.pixel(middle.x(), middle.y()), kPicture);

        // A board over it, a stroke across the picture above its middle (a quarter
        // of its height): once the ink shows, the picture beneath still lines up.
        QVERIFY(c.send(packet("whiteboard.start", "p1")));
        QVERIFY(c.send(packet("whiteboard.pen.width", "p1", {{"value", "9"}})));
        QVERIFY(c.send(packet("whiteboard.draw.start", "p1", {{"x", 100}, {"y", 250}})));
        QVERIFY(c.send(packet("whiteboard.drawing", "p1", {{"x", 900}, {"y", 250}})));
        QVERIFY(c.send(packet("whiteboard.draw.end", "p1")));
        QTRY_COMPARE(windowAt("Sketchpad"), on);
        QTRY_COMPARE(probe.pixel(middle.x(), middle.y() - 75), kInk);
        QCOMPARE(probe.pixel(middle.x(), middle.y()), kPicture);

        QVERIFY(c.send(packet("mouse.move", "p1", {{"x", 500}, {"y", 500}})));
        QTRY_COMPARE(probe.pointer(), middle);
        QCOMPARE(prog.stop(), 0);
    }

    void settingsTabChoosesAtOnce()
    {
        QTemporaryDir dir;
        qputenv("JWSHOW_DATA_DIR", dir.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", (dir.path() + "/config").toUtf8());
        const QString ini = dir.path() + "/app.ini";
        QSettings(ini, QSettings::IniFormat)
            .setValue("config/port", QString::number(freePortWith({1, 2})));
        Application app(false);
        app.start();
        auto* list = app.mainWindow().findChild<QComboBox*>("comboBoxScreen");
        QCOMPARE(list->count() + list->currentIndex(), 3); // the primary, then each screen
        QCOMPARE(list->itemText(2), "2: " + names.at(1) + "  1024 × 768");

        // Picked while the window is hidden: it shows there.
        emit list->activated(2);
        QCOMPARE(QSettings(ini, QSettings::IniFormat).value("config/screen").toString(),
                 names.at(1));
        app.showWindow().apply(cmd::ShowState{false, cmd::ShowTarget::Shown});
        QTRY_COMPARE(windowAt("Tovanel-演示模式"), screens.at(1));
        // Picked while it is shown: it moves.
        emit list->activated(0);
        QTRY_COMPARE(windowAt("Tovanel-演示模式"), screens.at(0));
        QCOMPARE(QSettings(ini, QSettings::IniFormat).value("config/screen").toString(), "");
    }
};

QTEST_MAIN(TestTwoScreens)
#include "tst_two_screens.moc"
