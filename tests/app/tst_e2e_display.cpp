// Under X with no window manager: a copy started hidden comes up when a second
// copy starts, and the window's close request only hides it.
#include "jwinstance.h"

#include <QProcess>
#include <QtTest>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

using jwtest::JwInstance;
using jwtest::JwInstanceOptions;

namespace
{

const QString kTitle = QStringLiteral("Tovanel - 被控端");

// Ids of the mapped top-level windows with exactly this title.
QStringList visibleWindows(const QString& title)
{
    QProcess p;
    p.start("xdotool",
            {"search", "--onlyvisible", "--name", "^" + QRegularExpression::escape(title) + "$"});
    p.waitForFinished(5000);
    return QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
}

// What a window manager sends when the user clicks the close button.
bool sendDeleteWindow(unsigned long window)
{
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy)
        return false;
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = window;
    ev.xclient.message_type = XInternAtom(dpy, "WM_PROTOCOLS", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = long(XInternAtom(dpy, "WM_DELETE_WINDOW", False));
    ev.xclient.data.l[1] = CurrentTime;
    const Status ok = XSendEvent(dpy, window, False, NoEventMask, &ev);
    XFlush(dpy);
    XCloseDisplay(dpy);
    return ok != 0;
}

} // namespace

class TestE2eDisplay : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            QSKIP("needs an X display");
    }

    void secondStartShowsTheHiddenWindow()
    {
        JwInstanceOptions o;
        o.useDisplay = true;
        o.config.insert("runtray", "1");
        JwInstance first(o);
        QVERIFY2(first.start(), qPrintable(first.errorString()));
        QTest::qWait(300);
        QVERIFY(visibleWindows(kTitle).isEmpty());

        JwInstanceOptions o2;
        o2.useDisplay = true;
        o2.writeIni = false;
        o2.waitForPort = false;
        o2.env.insert("JWSHOW_DATA_DIR", first.dataDir());
        JwInstance second(o2);
        QVERIFY2(second.start(), qPrintable(second.errorString()));
        QVERIFY(second.process().waitForFinished(10000));
        QCOMPARE(second.process().exitCode(), 0);

        QTRY_COMPARE_WITH_TIMEOUT(visibleWindows(kTitle).size(), 1, 10000);
        const unsigned long id = visibleWindows(kTitle).first().toULong();

        // The close button hides; the program and its server go on.
        QVERIFY(sendDeleteWindow(id));
        QTRY_VERIFY_WITH_TIMEOUT(visibleWindows(kTitle).isEmpty(), 10000);
        QVERIFY(first.isRunning());
        jwtest::Controller c(first.port());
        QVERIFY(c.connectToHost());
        QCOMPARE(first.stop(), 0);
    }
};

QTEST_GUILESS_MAIN(TestE2eDisplay)
#include "tst_e2e_display.moc"
