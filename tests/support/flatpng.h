#pragma once
// A picture of one flat colour, as a server sends it (tests and benchmarks).

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
