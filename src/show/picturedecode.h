#pragma once
// Decoding a picture body that a controller's address delivered. Its own unit, free
// of the window, so that the limits can be exercised on hostile bytes alone.

#include <QByteArray>
#include <QImage>
#include <QtGlobal>

namespace picture
{
// Pixels a decoded picture may have at most (about 400 MB as 32-bit pixels).
inline constexpr qint64 kMaxPixels = 100LL * 1000 * 1000;

// False when the picture is refused (too large); true with a null image when the
// body is no picture at all.
bool Decode(const QByteArray& body, QImage* image);
} // namespace picture
