#include "show/picturedecode.h"

#include <QBuffer>
#include <QDebug>
#include <QImageReader>

bool picture::Decode(const QByteArray& body, QImage* image)
{
    QByteArray data = body;
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    // The header is read first: a few bytes can announce a picture that would
    // take gigabytes once decoded.
    const QSize announced = reader.size();
    if (announced.isValid() && qint64(announced.width()) * announced.height() > kMaxPixels) {
        qDebug() << "picture refused, too many pixels:" << announced;
        return false;
    }
    *image = reader.read();
    if (qint64(image->width()) * image->height() > kMaxPixels) {
        qDebug() << "picture refused, too many pixels:" << image->size();
        *image = QImage();
        return false;
    }
    return true;
}
