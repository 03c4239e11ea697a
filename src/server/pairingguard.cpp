#include "server/pairingguard.h"

#include <algorithm>
#include <limits>

PairingGuard::PairingGuard(const QString& code, qint64 lockMs, std::function<qint64()> clock,
                           int maxAddresses)
    : code_(code), lockMs_(lockMs), clock_(std::move(clock)), maxAddresses_(maxAddresses)
{
}

qint64 PairingGuard::nowMs() const
{
    if (clock_)
        return clock_();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 started_)
        .count();
}

PairingGuard::Verdict PairingGuard::offer(const QString& address, const QString& code)
{
    bool pausedNow = false;
    {
        std::lock_guard<std::mutex> hold(lock_);
        const qint64 now = nowMs();
        // Refused unseen: comparing would tell a locked guesser when it is right.
        if (refusedUnseen(address, now))
            return Verdict::Locked;
        // An empty code of this start would let an empty code in.
        if (!code_.isEmpty() && code == code_)
            return Verdict::Paired;

        forgetOld(now); // the table keeps only addresses whose wrong codes still count
        Record& r = records_[address];
        r.failures.push_back(now);
        dropOld(r.failures, now);
        if (int(r.failures.size()) >= kMaxFailures) {
            r.lockedUntil = now + lockMs_;
            r.failures.clear();
        }
        nextForget_ = std::min(nextForget_, std::max(r.lockedUntil, now + lockMs_));

        failuresInAll_.push_back(now);
        dropOld(failuresInAll_, now);
        if (int(failuresInAll_.size()) > kMaxFailuresInAll) {
            pausedUntil_ = now + lockMs_;
            failuresInAll_.clear();
            pausedNow = true;
        }
    }
    if (pausedNow)
        emit paused();
    return Verdict::WrongCode;
}

bool PairingGuard::isLocked(const QString& address)
{
    std::lock_guard<std::mutex> hold(lock_);
    return refusedUnseen(address, nowMs());
}

qint64 PairingGuard::pauseLeftMs() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return std::max<qint64>(0, pausedUntil_ - nowMs());
}

bool PairingGuard::refusedUnseen(const QString& address, qint64 now)
{
    if (pausedUntil_ > now)
        return true;
    const auto it = records_.constFind(address);
    if (it != records_.constEnd())
        return it->lockedUntil > now;
    return !roomFor(now);
}

bool PairingGuard::roomFor(qint64 now)
{
    if (records_.size() < maxAddresses_)
        return true;
    forgetOld(now);
    return records_.size() < maxAddresses_;
}

void PairingGuard::forgetOld(qint64 now)
{
    // Not before the first record can go: a full table of live ones would
    // otherwise be walked for every newcomer.
    if (now < nextForget_)
        return;
    qint64 next = std::numeric_limits<qint64>::max();
    for (auto it = records_.begin(); it != records_.end();) {
        const qint64 lastCounts = it->failures.empty() ? 0 : it->failures.back() + lockMs_;
        const qint64 expires = std::max(it->lockedUntil, lastCounts);
        if (expires <= now) {
            it = records_.erase(it);
        } else {
            next = std::min(next, expires);
            ++it;
        }
    }
    nextForget_ = next;
}

void PairingGuard::dropOld(std::deque<qint64>& times, qint64 now) const
{
    while (!times.empty() && times.front() <= now - lockMs_)
        times.pop_front();
}
