#pragma once
// A page as the socket server sees it: its number's replies are queued here from
// any thread and taken by the page on the web thread. While the page is away (a
// reload) the number is kept by the web server, and the link only says so. The
// lock is never held while anything else is called: posting an event only queues
// it.

#include "server/jwshowservice.h"

#include <QByteArray>
#include <QObject>
#include <atomic>
#include <deque>
#include <functional>
#include <mutex>

namespace web
{

class WebPage;

class PageLink : public ExternalLink
{
public:
    explicit PageLink(WebPage* page) : page_(page) {}

    bool send(const QByteArray& bytes, bool flush) override;
    void flush() override;
    void shutdown() override;
    // The reports go to a page that asked for them once its login is answered: a
    // report must not pass for the login's reply.
    bool takesReports() const override { return reports && answered; }

    // Web thread: the page no longer takes anything.
    void release();
    // While the number is kept for the page to come back, a shutdown asked by the
    // program (the controller disconnected from the main window) runs end; an
    // empty one when it is kept no more. end is called under the lock: it may
    // only post.
    void setKeeper(std::function<void()> end);

    std::mutex lock; // guards everything below but the atomics
    std::deque<QByteArray> outbox;
    qint64 outboxBytes = 0;
    qint64 socketPending = 0; // what the WebSocket's socket still holds (web thread writes)
    bool posted = false;
    bool cut = false;
    bool shutdownAsked = false;
    std::atomic<bool> reports{false};  // set before the number is given out
    std::atomic<bool> answered{false}; // the login's reply has gone to the page

private:
    void post(); // caller holds lock
    WebPage* page_;
    std::function<void()> keeper_;
};

} // namespace web
