#include "host/quitsignal.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace host
{
namespace
{

// The write end of the watch's pipe: all a signal handler may safely use.
std::atomic<int> g_writeEnd{-1};
static_assert(std::atomic<int>::is_always_lock_free, "used from a signal handler");

extern "C" void onQuitSignal(int signalNumber)
{
    const int savedErrno = errno;
    const int fd = g_writeEnd.load();
    if (fd >= 0) {
        const char b = static_cast<char>(signalNumber == SIGINT ? kQuitInterrupt : kQuitTerminate);
        // A full pipe drops the byte: requests enough are waiting already.
        const ssize_t n = ::write(fd, &b, 1);
        (void)n;
    }
    errno = savedErrno;
}

// Both ends closed on exec (the companion must not inherit them); the write end
// never blocks the thread the signal interrupted.
bool makePipe(int fds[2])
{
    if (::pipe(fds) != 0)
        return false;
    const bool ok = ::fcntl(fds[0], F_SETFD, FD_CLOEXEC) == 0 &&
                    ::fcntl(fds[1], F_SETFD, FD_CLOEXEC) == 0 &&
                    ::fcntl(fds[1], F_SETFL, ::fcntl(fds[1], F_GETFL) | O_NONBLOCK) == 0;
    if (!ok) {
        ::close(fds[0]);
        ::close(fds[1]);
    }
    return ok;
}

void setHandler(int signalNumber, void (*handler)(int), struct sigaction* old)
{
    struct sigaction sa {
    };
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(signalNumber, &sa, old);
}

} // namespace

struct QuitSignalWatch::State {
    int readEnd = -1;
    int writeEnd = -1;
    std::atomic<bool> ending{false};
    struct sigaction oldTerm {
    };
    struct sigaction oldInt {
    };
    std::thread thread;
};

QuitSignalWatch::QuitSignalWatch(Handler handler)
{
    int fds[2];
    if (!makePipe(fds))
        return;
    int none = -1;
    if (!g_writeEnd.compare_exchange_strong(none, fds[1])) { // another watch runs
        ::close(fds[0]);
        ::close(fds[1]);
        return;
    }
    auto state = std::make_unique<State>();
    state->readEnd = fds[0];
    state->writeEnd = fds[1];
    try {
        // Waits on the pipe only: a byte is a request, the end of the file (the
        // write end closed by the destructor) the end of the watch.
        state->thread = std::thread([s = state.get(), handler = std::move(handler)] {
            for (;;) {
                char b = 0;
                const ssize_t n = ::read(s->readEnd, &b, 1);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0 || s->ending)
                    return;
                handler(static_cast<unsigned char>(b));
            }
        });
    } catch (const std::system_error&) {
        g_writeEnd = -1;
        ::close(fds[0]);
        ::close(fds[1]);
        return;
    }
    setHandler(SIGTERM, onQuitSignal, &state->oldTerm);
    setHandler(SIGINT, onQuitSignal, &state->oldInt);
    state_ = std::move(state);
}

QuitSignalWatch::~QuitSignalWatch()
{
    if (!state_)
        return;
    ::sigaction(SIGTERM, &state_->oldTerm, nullptr);
    ::sigaction(SIGINT, &state_->oldInt, nullptr);
    g_writeEnd = -1;
    state_->ending = true;
    ::close(state_->writeEnd);
    state_->thread.join();
    ::close(state_->readEnd);
}

} // namespace host
