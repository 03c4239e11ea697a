#include "web/pairingguard.h"

#include "base/appglobals.h"

namespace web
{

bool PairingGuard::isLocked(const QString& address, qint64 nowMs)
{
    auto it = records_.find(address);
    return it != records_.end() && it->lockedUntil > nowMs;
}

bool PairingGuard::check(const QString& address, const QString& code, qint64 nowMs)
{
    if (isLocked(address, nowMs))
        return false;
    // The code of this start; it is set before the web thread starts and never
    // changes afterwards. An empty one would let an empty code in.
    if (!g_auth.isEmpty() && code == g_auth)
        return true;
    if (records_.size() >= kMaxAddresses && !records_.contains(address))
        forgetOld(nowMs);
    Record& r = records_[address];
    r.failures.push_back(nowMs);
    while (!r.failures.empty() && r.failures.front() <= nowMs - lockMs_)
        r.failures.pop_front();
    if (int(r.failures.size()) >= kMaxFailures) {
        r.lockedUntil = nowMs + lockMs_;
        r.failures.clear();
    }
    return false;
}

void PairingGuard::forgetOld(qint64 nowMs)
{
    for (auto it = records_.begin(); it != records_.end();) {
        const bool recent = !it->failures.empty() && it->failures.back() > nowMs - lockMs_;
        if (it->lockedUntil <= nowMs && !recent)
            it = records_.erase(it);
        else
            ++it;
    }
    // Still full: every address is locked or guessing right now. The newcomer's
    // failures then go uncounted rather than let memory grow.
    if (records_.size() >= kMaxAddresses) {
        for (auto it = records_.begin(); it != records_.end(); ++it) {
            if (it->lockedUntil <= nowMs) {
                records_.erase(it);
                break;
            }
        }
    }
}

} // namespace web
