#pragma once
// A picture of one flat colour, as a server sends it (tests and benchmarks), and
// colours within `by` of each other in every channel, as seen after scaling or blending.

#include <QBuffer>
#include <QImage>

inline QByteArray flatPng(QRgb colour, int w = 64, int h = 48)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

inline bool similar(QRgb a, QRgb b, int by)
{
    return qAbs(qRed(a) - qRed(b)) <= by && qAbs(qGreen(a) - qGreen(b)) <= by &&
           qAbs(qBlue(a) - qBlue(b)) <= by;
}
