#pragma once
// Moves the system pointer. Used by one thread at a time (a lock inside keeps it
// safe from any); with no X display (or on the offscreen platform) it does nothing
// and returns false.

#include <memory>

namespace host
{

class Pointer
{
public:
    Pointer();
    ~Pointer();
    Pointer(const Pointer&) = delete;
    Pointer& operator=(const Pointer&) = delete;

    bool SetCursorPos(int x, int y);

private:
    struct Connection; // the platform's: on X11 a display connection of its own
    std::unique_ptr<Connection> c_;
};

} // namespace host
