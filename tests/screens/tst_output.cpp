// The show screen's own output, on a server whose modes can change
// (scripts/with-xorg-dummy, a second output plugged in right of the first): a mode
// change acts on that output alone and the quit puts it back; the windows leave it
// while it is unplugged and come back with it.
#include "e2eutil.h"
#include "jwinstance.h"
#include "x11probe.h"

#include <QtTest>

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

using namespace jwtest;

namespace
{
const QRect kFirst(0, 0, 1920, 1080), kSecond(1920, 0, 1280, 1024);
QJsonObject packet(const char* type, QJsonObject fields)
{
    fields.insert("type", type), fields.insert("from", "p1"), fields.insert("id", "2");
    return fields;
}
} // namespace

class TestOutput : public QObject
{
    Q_OBJECT
    X11Probe probe;
    std::unique_ptr<Display, int (*)(Display*)> dpy{XOpenDisplay(nullptr), XCloseDisplay};

    // f(resources, output, its info) for the output of that name.
    template <typename F> void withOutput(const char* name, F f)
    {
        XRRScreenResources* res = XRRGetScreenResources(dpy.get(), DefaultRootWindow(dpy.get()));
        for (int i = 0; i < res->noutput; ++i) {
            XRROutputInfo* info = XRRGetOutputInfo(dpy.get(), res, res->outputs[i]);
            if (QByteArray(info->name, info->nameLen) == name)
                f(res, res->outputs[i], info);
            XRRFreeOutputInfo(info);
        }
        XRRFreeScreenResources(res);
        XSync(dpy.get(), False);
    }
    QSize sizeOf(const char* name)
    {
        QSize size;
        withOutput(name, [&](XRRScreenResources* res, RROutput, XRROutputInfo* info) {
            XRRCrtcInfo* crtc = info->crtc ? XRRGetCrtcInfo(dpy.get(), res, info->crtc) : nullptr;
            if (crtc)
                size = QSize(int(crtc->width), int(crtc->height)), XRRFreeCrtcInfo(crtc);
        });
        return size;
    }
    // DUMMY1 shows 1280x1024 right of DUMMY0, or nothing.
    void plugSecond(bool in)
    {
        withOutput("DUMMY1", [&](XRRScreenResources* res, RROutput id, XRROutputInfo* info) {
            Display* d = dpy.get();
            const Window root = DefaultRootWindow(d);
            RRMode mode = None;
            for (int j = 0; j < res->nmode; ++j)
                if (res->modes[j].width == 1280 && res->modes[j].height == 1024)
                    mode = res->modes[j].id;
            if (in) {
                XRRAddOutputMode(d, id, mode); // the driver gives it no modes of its own
                XRRSetScreenSize(d, root, 3200, 1080, 847, 286);
            }
            XRRSetCrtcConfig(d, res, info->crtcs[0], CurrentTime, in ? 1920 : 0, 0,
                             in ? mode : None, RR_Rotate_0, in ? &id : nullptr, in ? 1 : 0);
            if (!in)
                XRRSetScreenSize(d, root, 1920, 1080, 508, 286);
        });
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(dpy && probe.isOpen(), "run it under scripts/with-xorg-dummy");
        plugSecond(true);
        // Asked again, the driver reports it connected now that it shows something.
        QCOMPARE(sizeOf("DUMMY1"), kSecond.size());
    }

    void showScreensOutput()
    {
        JwInstanceOptions o = presentingOptions();
        o.config.insert("screen", "DUMMY1");
        JwInstance prog(o);
        QVERIFY2(prog.start(), qPrintable(prog.errorString()));
        Controller c(prog.port());
        QVERIFY(c.connectToHost() && c.login("p1").contains(R"("ret":"0")"));
        QCOMPARE(c.request(packet("mode", {{"value", "show"}})), e2e::envelope("2", "p1", "mode"));
        const auto window = [this] { return probe.geometry(probe.findWindow("Tovanel-演示模式")); };
        QTRY_COMPARE(window(), kSecond);
        const QJsonObject set =
            packet("resolution", {{"act", "set"}, {"width", "1024"}, {"height", "768"}});
        QCOMPARE(c.request(set), e2e::envelope("2", "p1", "resolution"));
        QTRY_COMPARE(sizeOf("DUMMY1"), QSize(1024, 768));
        QCOMPARE(sizeOf("DUMMY0"), kFirst.size());
        QTRY_COMPARE(window(), QRect(kSecond.topLeft(), QSize(1024, 768))); // it follows the mode

        plugSecond(false);
        QTRY_COMPARE(window(), kFirst);
        QTRY_VERIFY(prog.stderrOutput().contains(
            R"(show screen "DUMMY1" is not connected: the windows use the primary screen DUMMY0)"));
        plugSecond(true);
        QTRY_COMPARE(window(), kSecond);
        QTRY_VERIFY(prog.stderrOutput().contains(
            R"(show screen "DUMMY1" is connected: the windows move to DUMMY1)"));

        QCOMPARE(c.request(set), e2e::envelope("2", "p1", "resolution"));
        QTRY_COMPARE(sizeOf("DUMMY1"), QSize(1024, 768));
        QCOMPARE(prog.stop(), 0); // with the controller still there
        QCOMPARE(sizeOf("DUMMY1"), kSecond.size());
    }
};

QTEST_GUILESS_MAIN(TestOutput)
#include "tst_output.moc"
