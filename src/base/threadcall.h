#pragma once
// Work run on the thread an object lives on, the caller waiting until it is done.
// Qt's blocking queued call hands the work over and the result back inside the
// toolkit, where a thread checker cannot see it; here both pass a std::mutex.

#include <QObject>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

class ThreadCall : public QObject
{
    Q_OBJECT
public:
    // Runs f on this object's thread (at once when called there) and returns after it.
    void run(std::function<void()> f);

private slots:
    void runPending();

private:
    struct Job {
        std::function<void()> f;
        bool done = false;
    };
    std::mutex lock_;
    std::condition_variable finished_;
    std::deque<std::shared_ptr<Job>> pending_;
};
