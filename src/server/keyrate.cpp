#include "server/keyrate.h"

bool KeyRate::admit(const QString& id, qint64 nowMs)
{
    Recent& r = recent_[id];
    if (r.count == kKeys && nowMs - r.at[size_t(r.next)] < kWindowMs)
        return false;
    r.at[size_t(r.next)] = nowMs;
    r.next = (r.next + 1) % kKeys;
    if (r.count < kKeys)
        ++r.count;
    return true;
}
