#include "base/threadcall.h"

#include <QThread>

void ThreadCall::run(std::function<void()> f)
{
    if (QThread::currentThread() == thread()) {
        f();
        return;
    }
    auto job = std::make_shared<Job>();
    job->f = std::move(f);
    {
        std::lock_guard<std::mutex> l(lock_);
        pending_.push_back(job);
    }
    // Each call takes the oldest job, so the calls need not carry anything.
    QMetaObject::invokeMethod(this, "runPending", Qt::QueuedConnection);
    std::unique_lock<std::mutex> l(lock_);
    finished_.wait(l, [&job] { return job->done; });
}

void ThreadCall::runPending()
{
    std::shared_ptr<Job> job;
    {
        std::lock_guard<std::mutex> l(lock_);
        if (pending_.empty())
            return;
        job = pending_.front();
        pending_.pop_front();
    }
    job->f();
    {
        std::lock_guard<std::mutex> l(lock_);
        job->done = true;
    }
    finished_.notify_all();
}
