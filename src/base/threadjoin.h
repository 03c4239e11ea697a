#pragma once
// Joining a worker thread. QThread::wait synchronises inside the toolkit, which a
// ThreadSanitizer build does not instrument, so the checker cannot see that
// whatever the thread did happened before wait() returned. A worker marks its end
// and the waiter its join on the same address; outside such a build both are
// nothing.

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define JW_THREAD_CHECKED
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#endif
#endif

namespace threadjoin
{
// The thread's last act, at the end of its run().
inline void MarkEnd([[maybe_unused]] const void* thread)
{
#ifdef JW_THREAD_CHECKED
    __tsan_release(const_cast<void*>(thread));
#endif
}

// Marks the end when the run() that holds it returns, by whatever way.
struct EndGuard {
    const void* thread;
    ~EndGuard() { MarkEnd(thread); }
};

// After wait() returned true: the thread has ended.
inline bool Joined(bool ended, [[maybe_unused]] const void* thread)
{
#ifdef JW_THREAD_CHECKED
    if (ended)
        __tsan_acquire(const_cast<void*>(thread));
#endif
    return ended;
}
} // namespace threadjoin
