#pragma once
// Pictures of one flat colour, encoded as the server will serve them.

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QImage>

inline QImage flatImage(const QColor& colour, int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

inline QByteArray encoded(const QImage& image, const char* format = "PNG", int quality = -1)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format, quality);
    return bytes;
}

inline QByteArray flatPng(const QColor& colour, int w = 64, int h = 48)
{
    return encoded(flatImage(colour, w, h));
}

// Colours compared with some slack: JPEG and scaling do not keep them exact.
inline bool near(QRgb a, QRgb b, int slack = 24)
{
    return qAbs(qRed(a) - qRed(b)) <= slack && qAbs(qGreen(a) - qGreen(b)) <= slack &&
           qAbs(qBlue(a) - qBlue(b)) <= slack;
}
