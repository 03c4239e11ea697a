#include "host/quitsignal.h"

#include <windows.h>

#include <mutex>

namespace host
{
namespace
{

std::mutex g_lock; // guards g_handler
std::shared_ptr<QuitSignalWatch::Handler> g_handler;
// Held while the handler runs: console events come on threads of their own, and
// the watch ends only once no call is under way.
std::mutex g_callLock;

// Set when the watch ends. Never closed: a console thread may still wait on it.
HANDLE watchEnded()
{
    static const HANDLE ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return ended;
}

// Runs on a thread the system starts for each console event.
BOOL WINAPI onConsoleEvent(DWORD event)
{
    int signalNumber = kQuitTerminate;
    bool endsOnReturn = false; // the system ends the process once this returns
    switch (event) {
    case CTRL_C_EVENT:
        signalNumber = kQuitInterrupt;
        break;
    case CTRL_BREAK_EVENT:
        break;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        endsOnReturn = true;
        break;
    default:
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> call(g_callLock);
        std::shared_ptr<QuitSignalWatch::Handler> handler;
        {
            std::lock_guard<std::mutex> l(g_lock);
            handler = g_handler;
        }
        if (!handler)
            return FALSE;
        (*handler)(signalNumber);
    }
    // The orderly quit gets the few seconds the system allows a closing console.
    if (endsOnReturn && watchEnded())
        WaitForSingleObject(watchEnded(), 5000);
    return TRUE;
}

} // namespace

struct QuitSignalWatch::State {
};

QuitSignalWatch::QuitSignalWatch(Handler handler)
{
    {
        std::lock_guard<std::mutex> l(g_lock);
        if (g_handler)
            return; // another watch runs
        g_handler = std::make_shared<Handler>(std::move(handler));
    }
    if (!SetConsoleCtrlHandler(onConsoleEvent, TRUE)) {
        std::lock_guard<std::mutex> l(g_lock);
        g_handler.reset();
        return;
    }
    state_ = std::make_unique<State>();
}

QuitSignalWatch::~QuitSignalWatch()
{
    if (!state_)
        return;
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    {
        std::lock_guard<std::mutex> l(g_lock);
        g_handler.reset();
    }
    { // a call under way ends first
        std::lock_guard<std::mutex> call(g_callLock);
    }
    if (watchEnded())
        SetEvent(watchEnded());
}

} // namespace host
