#pragma once
// The player's states, numbered as libvlc numbers them.

namespace Vlc
{
enum State {
    Idle = 0,
    Opening = 1,
    Buffering = 2,
    Playing = 3,
    Paused = 4,
    Stopped = 5,
    Ended = 6,
    Error = 7,
};
} // namespace Vlc
