#pragma once
// The requests to quit that reach the process from outside: SIGTERM and SIGINT
// (on Windows the console's Ctrl+C, Ctrl+Break, close, log-off and shut-down).
// Each is handed to a function that runs outside any thread of the program, so it
// may do more than a signal handler may, and is heard even while the program's
// own threads are busy.

#include <functional>
#include <memory>

namespace host
{

// What the handler is told: the POSIX numbers of the two signals.
inline constexpr int kQuitInterrupt = 2;  // SIGINT, Ctrl+C
inline constexpr int kQuitTerminate = 15; // SIGTERM, Ctrl+Break, a console closing

class QuitSignalWatch
{
public:
    using Handler = std::function<void(int signalNumber)>;

    // Starts watching; `handler` runs for every request on a thread that is not the
    // program's (the watch's own; on Windows the console's). One watch per process:
    // a second one stays inactive.
    explicit QuitSignalWatch(Handler handler);
    // The requests have their default effect again once this returns, and the
    // handler is not called any more (a call under way has ended).
    ~QuitSignalWatch();
    bool isActive() const { return state_ != nullptr; }

    QuitSignalWatch(const QuitSignalWatch&) = delete;
    QuitSignalWatch& operator=(const QuitSignalWatch&) = delete;

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace host
