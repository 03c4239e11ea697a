#include "base/picturedecode.h"

#include <QBuffer>
#include <QDebug>
#include <QImageReader>

namespace
{
// The area a GIF's decoder would allocate: its screen grown to cover every frame
// (Qt's decoder grows the picture to a frame that reaches past the screen, and does
// so while merely asked for the size), as far as the blocks go.
qint64 gifArea(const QByteArray& body)
{
    const auto* b = reinterpret_cast<const uchar*>(body.constData());
    const int n = body.size();
    auto u16 = [b](int at) { return int(b[at]) | int(b[at + 1]) << 8; };
    if (n < 13)
        return 0;
    qint64 width = u16(6), height = u16(8);
    int at = 13 + ((b[10] & 0x80) ? 3 << ((b[10] & 7) + 1) : 0);
    auto skipSubBlocks = [&] {
        while (at < n && b[at] != 0)
            at += 1 + b[at];
        ++at;
    };
    while (at < n && b[at] != 0x3B) {
        if (b[at] == 0x21 && at + 1 < n) {
            at += 2;
            skipSubBlocks();
        } else if (b[at] == 0x2C && at + 10 <= n) {
            width = qMax(width, qint64(u16(at + 1)) + u16(at + 5));
            height = qMax(height, qint64(u16(at + 3)) + u16(at + 7));
            const uchar flags = b[at + 9];
            at += 10 + ((flags & 0x80) ? 3 << ((flags & 7) + 1) : 0) + 1; // and the code size
            skipSubBlocks();
        } else {
            break; // the decoder stops here too, with what it has made so far
        }
    }
    return width * height;
}
} // namespace

bool DecodePicture(const QByteArray& body, QImage* image, QByteArray* format, const QSize& fitInto)
{
    if (body.startsWith("GIF8") && gifArea(body) > kMaxPicturePixels) {
        qDebug() << "picture refused, a GIF frame reaches too far";
        *image = QImage();
        return false;
    }
    QByteArray data = body;
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    if (format)
        *format = reader.format();
    // The header is read first: a few bytes can announce a picture that would
    // take gigabytes once decoded.
    const QSize announced = reader.size();
    if (!announced.isValid()) {
        // A header that does not tell the size leaves the decoder to find it, and
        // a GIF can then grow its picture to hundreds of megabytes from 35 bytes:
        // such bytes are no picture we show.
        *image = QImage();
        return true;
    }
    if (qint64(announced.width()) * announced.height() > kMaxPicturePixels) {
        qDebug() << "picture refused, too many pixels:" << announced;
        return false;
    }
    if (fitInto.isValid() && !fitInto.isEmpty() && reader.format() == "jpeg") {
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
    if (body.startsWith("GIF8") && gifArea(body) > kMaxPicturePixels)
        return false;
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
