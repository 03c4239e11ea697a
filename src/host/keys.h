#pragma once
// Slide keys: one key pressed and released in the window that has the keyboard
// focus, as if typed there (XTest on X11, SendInput on Windows). For a phone that
// turns the slides of whatever presentation program is in front.

#include <memory>

namespace host
{

// The keys the common presentation programs share.
enum class SlideKey {
    Next,     // Right
    Previous, // Left
    First,    // Home
    Last,     // End
    Start,    // F5
    End,      // Escape
    Black,    // b
    White,    // w
};

enum class KeySent {
    Sent,
    // The focused window is one of this process's own (the show window, a board,
    // the settings window): the key would act on the program itself.
    OwnWindowInFront,
    NoFocus,     // no window has the keyboard focus: the key would go nowhere
    Unavailable, // no display (offscreen), or it cannot take synthetic keys
};

class SlideKeys
{
public:
    SlideKeys();
    ~SlideKeys();
    SlideKeys(const SlideKeys&) = delete;
    SlideKeys& operator=(const SlideKeys&) = delete;

    // Any thread: a connection of its own, used under a lock. Nothing is sent
    // unless the answer is Sent.
    KeySent SendSlideKey(SlideKey key);

private:
    struct Connection; // the platform's: on X11 a display connection of its own
    std::unique_ptr<Connection> c_;
};

} // namespace host
