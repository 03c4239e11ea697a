#include "app/quitsignals.h"

#include <QSocketNotifier>
#include <QtGlobal>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace
{
int g_pipe[2] = {-1, -1};

// Only async-signal-safe work here: one byte naming the signal into the pipe.
void onSignal(int sig)
{
    const int savedErrno = errno;
    const char b = static_cast<char>(sig);
    if (g_pipe[1] >= 0) {
        ssize_t n = ::write(g_pipe[1], &b, 1);
        (void)n;
    }
    errno = savedErrno;
}
} // namespace

QuitSignals::QuitSignals(QObject* parent) : QObject(parent)
{
    if (g_pipe[0] < 0) {
        if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
            g_pipe[0] = g_pipe[1] = -1;
            return;
        }
    }
    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &QuitSignals::onReadable);

    struct sigaction sa {
    };
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
}

QuitSignals::~QuitSignals()
{
    if (m_notifier) {
        struct sigaction sa {
        };
        sa.sa_handler = SIG_DFL;
        sigemptyset(&sa.sa_mask);
        ::sigaction(SIGTERM, &sa, nullptr);
        ::sigaction(SIGINT, &sa, nullptr);
    }
}

void QuitSignals::onReadable()
{
    char buf[16];
    ssize_t n;
    int last = 0;
    while ((n = ::read(g_pipe[0], buf, sizeof buf)) > 0)
        last = static_cast<unsigned char>(buf[n - 1]);
    if (last)
        emit quitRequested(last);
}

#else

QuitSignals::QuitSignals(QObject* parent) : QObject(parent) {}
QuitSignals::~QuitSignals() = default;
void QuitSignals::onReadable() {}

#endif
