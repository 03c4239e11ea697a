#include "base/showimagerect.h"

#include "protocol/packetfields.h"

#include <algorithm>
#include <climits>

namespace
{
int mapAxis(double t, int origin, int extent)
{
    // 64 bits hold trunc(t) * extent for any int pair; only the sum is clamped.
    const qint64 v = qint64(origin) + qint64(packetfields::truncToInt(t)) * extent / 1000;
    return int(std::clamp<qint64>(v, INT_MIN, INT_MAX));
}
} // namespace

QPoint MapImagePoint(double x, double y, int left, int top, int width, int height)
{
    return QPoint(mapAxis(x, left, width), mapAxis(y, top, height));
}

void ShowImageRect::set(int left, int top, int width, int height)
{
    std::lock_guard<std::mutex> l(lock_);
    rect_ = Rect{left, top, width, height};
}

ShowImageRect::Rect ShowImageRect::get() const
{
    std::lock_guard<std::mutex> l(lock_);
    return rect_;
}

QPoint ShowImageRect::map(double x, double y) const
{
    const Rect r = get();
    return MapImagePoint(x, y, r.left, r.top, r.width, r.height);
}
