#include "host/keys.h"
#include "host/x11env.h"

#include <X11/Xlib-xcb.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <unistd.h>

// The keys are sent from the dispatcher thread, so, like the pointer, through a
// connection of our own, used only here and only under the mutex.
//
// Which window has the focus is asked through the connection's xcb side: the
// window may be destroyed between two questions, and an Xlib request on a window
// that is gone ends the process in Xlib's default error handler (a handler of our
// own would be process-wide, shared with the GUI thread's display code), while an
// xcb reply simply carries the error.
namespace
{

struct FreeReply {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using Reply = std::unique_ptr<T, FreeReply>;

// Every reply is asked for with an error pointer: without one, xcb would queue the
// error as an event, where Xlib would take it for its own.
template <typename T, typename Cookie>
Reply<T> ask(xcb_connection_t* c, T* (*reply)(xcb_connection_t*, Cookie, xcb_generic_error_t**),
             Cookie cookie)
{
    xcb_generic_error_t* error = nullptr;
    Reply<T> r(reply(c, cookie, &error));
    std::free(error);
    return r;
}

KeySym keysymOf(host::SlideKey key)
{
    switch (key) {
    case host::SlideKey::Next:
        return XK_Right;
    case host::SlideKey::Previous:
        return XK_Left;
    case host::SlideKey::First:
        return XK_Home;
    case host::SlideKey::Last:
        return XK_End;
    case host::SlideKey::Start:
        return XK_F5;
    case host::SlideKey::End:
        return XK_Escape;
    case host::SlideKey::Black:
        return XK_b;
    case host::SlideKey::White:
        return XK_w;
    }
    return NoSymbol;
}

// The process that made the window (_NET_WM_PID); 0 when the window does not say
// or is gone.
uint32_t windowPid(xcb_connection_t* c, xcb_atom_t pidAtom, xcb_window_t w)
{
    const auto r = ask(c, xcb_get_property_reply,
                       xcb_get_property(c, 0, w, pidAtom, XCB_ATOM_CARDINAL, 0, 1));
    if (!r || r->format != 32 || xcb_get_property_value_length(r.get()) < 4)
        return 0;
    return *static_cast<const uint32_t*>(xcb_get_property_value(r.get()));
}

// Whether the window belongs to this process. The focus may sit on a child window
// (a video surface), so the pid is looked for up to the top-level; a top-level
// without one is a window manager's frame, whose client is one of its children.
bool ownWindow(xcb_connection_t* c, xcb_atom_t pidAtom, xcb_window_t w, xcb_window_t root)
{
    const uint32_t self = uint32_t(getpid());
    for (int depth = 0; w != XCB_NONE && w != root && depth < 32; ++depth) {
        if (const uint32_t pid = windowPid(c, pidAtom, w))
            return pid == self;
        const auto tree = ask(c, xcb_query_tree_reply, xcb_query_tree(c, w));
        if (!tree)
            return false;
        if (tree->parent == root) {
            const xcb_window_t* children = xcb_query_tree_children(tree.get());
            for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
                if (const uint32_t pid = windowPid(c, pidAtom, children[i]))
                    return pid == self;
            }
            return false;
        }
        w = tree->parent;
    }
    return false;
}

// Where a key typed now goes: the focus window, or with the focus on the pointer
// root, the top-level under the pointer. XCB_NONE: nowhere.
xcb_window_t keyTarget(xcb_connection_t* c, xcb_window_t root)
{
    const auto focus = ask(c, xcb_get_input_focus_reply, xcb_get_input_focus(c));
    if (!focus || focus->focus == XCB_NONE)
        return XCB_NONE;
    if (focus->focus != XCB_INPUT_FOCUS_POINTER_ROOT)
        return focus->focus;
    const auto pointer = ask(c, xcb_query_pointer_reply, xcb_query_pointer(c, root));
    return pointer && pointer->same_screen ? pointer->child : XCB_NONE;
}

} // namespace

namespace host
{

struct SlideKeys::Connection {
    std::mutex lock;
    std::unique_ptr<detail::XConnection> xconn; // opened at the first key, kept with XTest
    bool tried = false;
    xcb_atom_t pidAtom = XCB_NONE;
};

SlideKeys::SlideKeys() : c_(std::make_unique<Connection>()) {}
SlideKeys::~SlideKeys() = default;

KeySent SlideKeys::SendSlideKey(SlideKey key)
{
    std::lock_guard<std::mutex> lock(c_->lock);
    if (!c_->tried) {
        // Opened once: a missing display, or one without XTest, stays so for the
        // life of the object.
        c_->tried = true;
        auto x = std::make_unique<detail::XConnection>();
        int event = 0, error = 0, major = 0, minor = 0;
        if (x->dpy && XTestQueryExtension(x->dpy, &event, &error, &major, &minor)) {
            c_->pidAtom = xcb_atom_t(XInternAtom(x->dpy, "_NET_WM_PID", False));
            c_->xconn = std::move(x);
        }
    }
    Display* const dpy = c_->xconn ? c_->xconn->dpy : nullptr;
    if (!dpy)
        return KeySent::Unavailable;
    const KeyCode code = XKeysymToKeycode(dpy, keysymOf(key));
    if (code == 0)
        return KeySent::Unavailable;
    xcb_connection_t* const c = XGetXCBConnection(dpy);
    const xcb_window_t root = xcb_window_t(DefaultRootWindow(dpy));
    const xcb_window_t target = keyTarget(c, root);
    if (target == XCB_NONE)
        return KeySent::NoFocus;
    if (ownWindow(c, c_->pidAtom, target, root))
        return KeySent::OwnWindowInFront;
    XTestFakeKeyEvent(dpy, code, True, CurrentTime);
    XTestFakeKeyEvent(dpy, code, False, CurrentTime);
    XFlush(dpy);
    return KeySent::Sent;
}

} // namespace host
