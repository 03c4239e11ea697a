#include "host/display.h"
#include "host/x11env.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>

// GetSystemMetrics and ChangeDisplaySettingsW over XRandR: the chosen output's
// CRTC (the primary output's when none is chosen) is the "screen", and a mode
// change is one of that output's own modes of exactly the asked size, with the X
// screen resized to hold it.
namespace
{

using host::detail::X11DisplayAvailable;
using host::detail::XConnection;

struct XRandrFree {
    void operator()(XRRScreenResources* p) const { XRRFreeScreenResources(p); }
    void operator()(XRROutputInfo* p) const { XRRFreeOutputInfo(p); }
    void operator()(XRRCrtcInfo* p) const { XRRFreeCrtcInfo(p); }
};
template <typename T> using XRandrPtr = std::unique_ptr<T, XRandrFree>;

// A connection per call (XConnection): changes are rare, and a fresh connection's
// screen size is the current one (Xlib keeps the size of the connection's setup).

// X errors of the calls in its scope are recorded instead of ending the process.
int g_xError = 0;
int recordXError(Display*, XErrorEvent* e)
{
    g_xError = e->error_code;
    return 0;
}
class ErrorTrap
{
public:
    explicit ErrorTrap(Display* dpy) : dpy_(dpy)
    {
        XSync(dpy_, False);
        g_xError = 0;
        previous_ = XSetErrorHandler(recordXError);
    }
    ~ErrorTrap()
    {
        XSync(dpy_, False);
        XSetErrorHandler(previous_);
    }
    ErrorTrap(const ErrorTrap&) = delete;
    ErrorTrap& operator=(const ErrorTrap&) = delete;
    bool ok() // no error since the last look
    {
        XSync(dpy_, False);
        const bool fine = g_xError == 0;
        g_xError = 0;
        return fine;
    }

private:
    Display* dpy_;
    XErrorHandler previous_;
};

// An output and the CRTC that shows it.
struct Output {
    XRandrPtr<XRRScreenResources> res;
    XRandrPtr<XRROutputInfo> output;
    RRCrtc crtcId = None;
    XRandrPtr<XRRCrtcInfo> crtc;
};

// The output of that name; with none named, XRRGetOutputPrimary, else the first
// connected output with an active CRTC. Only a connected output with an active
// CRTC counts.
bool findOutput(Display* dpy, Window root, const std::string& name, Output& p)
{
    int event = 0, error = 0, major = 0, minor = 0;
    if (!XRRQueryExtension(dpy, &event, &error) || !XRRQueryVersion(dpy, &major, &minor) ||
        major < 1 || (major == 1 && minor < 3))
        return false;
    p.res.reset(XRRGetScreenResourcesCurrent(dpy, root));
    if (!p.res)
        return false;
    const RROutput primary = name.empty() ? XRRGetOutputPrimary(dpy, root) : None;
    for (int i = -1; i < p.res->noutput; ++i) {
        const RROutput id = i < 0 ? primary : p.res->outputs[i];
        if (id == None)
            continue;
        XRandrPtr<XRROutputInfo> output(XRRGetOutputInfo(dpy, p.res.get(), id));
        if (!output || output->connection != RR_Connected || output->crtc == None)
            continue;
        if (!name.empty() && name != std::string(output->name, size_t(output->nameLen)))
            continue;
        XRandrPtr<XRRCrtcInfo> crtc(XRRGetCrtcInfo(dpy, p.res.get(), output->crtc));
        if (!crtc || crtc->mode == None)
            continue;
        p.crtcId = output->crtc;
        p.output = std::move(output);
        p.crtc = std::move(crtc);
        return true;
    }
    return false;
}

double refreshRate(const XRRModeInfo& m)
{
    double lines = m.vTotal;
    if (m.modeFlags & RR_DoubleScan)
        lines *= 2;
    if (m.modeFlags & RR_Interlace)
        lines /= 2;
    return m.hTotal && lines > 0 ? double(m.dotClock) / (m.hTotal * lines) : 0;
}

// The output's mode of exactly width x height with the highest refresh; None if none.
RRMode exactMode(const Output& p, unsigned long width, unsigned long height)
{
    RRMode best = None;
    double bestRate = -1;
    for (int i = 0; i < p.output->nmode; ++i) {
        for (int j = 0; j < p.res->nmode; ++j) {
            const XRRModeInfo& m = p.res->modes[j];
            if (m.id != p.output->modes[i] || m.width != width || m.height != height)
                continue;
            if (refreshRate(m) > bestRate)
                best = m.id, bestRate = refreshRate(m);
        }
    }
    return best;
}

struct ScreenSize {
    int width, height, mmWidth, mmHeight;
    bool operator!=(const ScreenSize& o) const { return width != o.width || height != o.height; }
};

// The same dots per millimetre as the screen has now (96 dpi if it tells none).
ScreenSize scaled(int width, int height, const ScreenSize& now)
{
    auto mm = [](int px, int nowPx, int nowMm) {
        return int(
            std::lround(nowMm > 0 && nowPx > 0 ? double(px) * nowMm / nowPx : px * 25.4 / 96));
    };
    return {width, height, mm(width, now.width, now.mmWidth), mm(height, now.height, now.mmHeight)};
}

} // namespace

namespace host
{

bool OutputSize(const std::string& name, unsigned long& width, unsigned long& height)
{
    width = height = 0;
    XConnection c;
    if (!c.dpy)
        return false;
    Output p;
    if (findOutput(c.dpy, DefaultRootWindow(c.dpy), name, p)) {
        width = p.crtc->width, height = p.crtc->height;
    } else if (name.empty()) { // no RandR outputs to ask: the whole screen
        width = static_cast<unsigned long>(DisplayWidth(c.dpy, DefaultScreen(c.dpy)));
        height = static_cast<unsigned long>(DisplayHeight(c.dpy, DefaultScreen(c.dpy)));
    }
    return width > 0 && height > 0;
}

namespace detail
{

bool ChangeDisplayMode(const std::string& name, unsigned long width, unsigned long height)
{
    XConnection c;
    Display* const dpy = c.dpy;
    if (!dpy || width > 32767 || height > 32767)
        return false;
    const Window root = DefaultRootWindow(dpy);
    Output p;
    if (!findOutput(dpy, root, name, p))
        return false;
    const XRRCrtcInfo& crtc = *p.crtc;
    // A turned output shows its modes sideways: the mode is height x width.
    const bool sideways = crtc.rotation & (RR_Rotate_90 | RR_Rotate_270);
    const RRMode mode = exactMode(p, sideways ? height : width, sideways ? width : height);
    if (mode == None)
        return false;
    if (mode == crtc.mode)
        return true;

    // The screen must hold every active CRTC: this one at its new size, the
    // others where they are.
    int w = crtc.x + int(width), h = crtc.y + int(height);
    for (int i = 0; i < p.res->ncrtc; ++i) {
        if (p.res->crtcs[i] == p.crtcId)
            continue;
        XRandrPtr<XRRCrtcInfo> other(XRRGetCrtcInfo(dpy, p.res.get(), p.res->crtcs[i]));
        if (other && other->mode != None)
            w = std::max(w, other->x + int(other->width)),
            h = std::max(h, other->y + int(other->height));
    }
    int minW = 0, minH = 0, maxW = 0, maxH = 0;
    if (!XRRGetScreenSizeRange(dpy, root, &minW, &minH, &maxW, &maxH))
        return false;
    w = std::max(w, minW), h = std::max(h, minH);
    if (w > maxW || h > maxH)
        return false;

    const int screen = DefaultScreen(dpy);
    const ScreenSize old{DisplayWidth(dpy, screen), DisplayHeight(dpy, screen),
                         DisplayWidthMM(dpy, screen), DisplayHeightMM(dpy, screen)};
    // The screen always holds the CRTC: what grows is grown before the CRTC
    // changes, what shrinks is shrunk after it.
    const ScreenSize between = scaled(std::max(old.width, w), std::max(old.height, h), old);
    const ScreenSize target = scaled(w, h, old);

    XGrabServer(dpy);
    ErrorTrap trap(dpy);
    auto setScreen = [&](const ScreenSize& s) {
        XRRSetScreenSize(dpy, root, s.width, s.height, s.mmWidth, s.mmHeight);
        return trap.ok();
    };
    auto setCrtc = [&](RRMode m) {
        return XRRSetCrtcConfig(dpy, p.res.get(), p.crtcId, CurrentTime, crtc.x, crtc.y, m,
                                crtc.rotation, crtc.outputs, crtc.noutput) == RRSetConfigSuccess &&
               trap.ok();
    };
    ScreenSize now = old;
    bool ok = true, crtcChanged = false;
    if (between != old && (ok = setScreen(between)))
        now = between;
    if (ok)
        ok = crtcChanged = setCrtc(mode);
    if (ok && target != between && (ok = setScreen(target)))
        now = target;
    if (!ok) { // put back what was changed
        if (crtcChanged)
            setCrtc(crtc.mode);
        if (now != old)
            setScreen(old);
    }
    XUngrabServer(dpy);
    return ok;
}

} // namespace detail
} // namespace host
