#include "web/pagepicture.h"

#include <QBuffer>
#include <QPainter>

namespace web
{

QByteArray PagePicture(const QImage& picture, int side, int maxBytes)
{
    if (picture.isNull())
        return QByteArray();
    QImage small = picture.width() > side || picture.height() > side
                       ? picture.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                       : picture;
    // JPEG has no transparency: what is see-through is black, as on the screen.
    if (small.hasAlphaChannel()) {
        QImage opaque(small.size(), QImage::Format_RGB32);
        opaque.fill(Qt::black);
        QPainter(&opaque).drawImage(0, 0, small);
        small = opaque;
    }
    for (;;) {
        for (const int quality : {70, 50, 30}) {
            QByteArray bytes;
            QBuffer buffer(&bytes);
            buffer.open(QIODevice::WriteOnly);
            small.save(&buffer, "JPEG", quality);
            if (bytes.size() <= maxBytes)
                return bytes;
        }
        // Noise does not compress: what is left is a smaller copy.
        if (small.width() <= 16 && small.height() <= 16)
            return QByteArray();
        small = small.scaled((small.size() / 2).expandedTo(QSize(1, 1)), Qt::IgnoreAspectRatio,
                             Qt::SmoothTransformation);
    }
}

} // namespace web
