#pragma once
// The small copy of the shown picture that the pages draw on: a JPEG whose longer
// side is at most `side` pixels and which takes at most `maxBytes`, its quality
// lowered as far as needed (then its size). Empty for a null picture.

#include <QByteArray>
#include <QImage>

namespace web
{
QByteArray PagePicture(const QImage& picture, int side, int maxBytes);
} // namespace web
