#include "base/picturedecode.h"

#include <QBuffer>
#include <QDebug>
#include <QImageReader>

bool DecodePicture(const QByteArray& body, QImage* image, QByteArray* format, const QSize& fitInto)
{
    QByteArray data = body;
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    if (format)
        *format = reader.format();
    // The header is read first: a few bytes can announce a picture that would
    // take gigabytes once decoded.
    const QSize announced = reader.size();
    if (announced.isValid() && qint64(announced.width()) * announced.height() > kMaxPicturePixels) {
        qDebug() << "picture refused, too many pixels:" << announced;
        return false;
    }
    if (announced.isValid() && fitInto.isValid() && !fitInto.isEmpty() &&
        reader.format() == "jpeg") {
        // The largest of JPEG's cheap reductions that still covers the area.
        const double needed = qMin(double(fitInto.width()) / announced.width(),
                                   double(fitInto.height()) / announced.height());
        int divisor = 1;
        while (divisor < 8 && needed * divisor * 2 <= 1.0)
            divisor *= 2;
        if (divisor > 1)
            reader.setScaledSize(QSize((announced.width() + divisor - 1) / divisor,
                                       (announced.height() + divisor - 1) / divisor));
    }
    *image = reader.read();
    if (qint64(image->width()) * image->height() > kMaxPicturePixels) {
        qDebug() << "picture refused, too many pixels:" << image->size();
        *image = QImage();
        return false;
    }
    return true;
}

bool CheckPicture(const QByteArray& body, QByteArray* format)
{
    QByteArray data = body;
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    const QSize announced = reader.size();
    if (!announced.isValid() || reader.format() != "jpeg") {
        QImage image;
        return DecodePicture(body, &image, format) && !image.isNull();
    }
    if (format)
        *format = reader.format();
    if (qint64(announced.width()) * announced.height() > kMaxPicturePixels)
        return false;
    reader.setScaledSize(QSize((announced.width() + 7) / 8, (announced.height() + 7) / 8));
    return !reader.read().isNull();
}
