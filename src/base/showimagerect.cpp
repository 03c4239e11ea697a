#include "base/showimagerect.h"

#include "protocol/packetfields.h"

#include <algorithm>
#include <climits>

ImageRect ShowImageRect;

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

QPoint MapImagePoint(double x, double y)
{
    return MapImagePoint(x, y, ShowImageRect.left, ShowImageRect.top, ShowImageRect.width,
                         ShowImageRect.height);
}
