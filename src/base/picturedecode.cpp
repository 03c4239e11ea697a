#include "base/picturedecode.h"
#include "base/jwdebug.h"

#include <QBuffer>
#include <QDebug>
#include <QImageReader>
#include <cstring>

namespace
{

// Qt 5's widest pixels: 16 bits for each of four channels.
constexpr int kWidestBitsPerPixel = 64;

qint64 pixelsOf(const QSize& size)
{
    return qint64(size.width()) * size.height();
}

// What an image of that size takes in memory: QImage rows are 32-bit aligned.
qint64 imageBytes(const QSize& size, int bitsPerPixel)
{
    return (qint64(size.width()) * bitsPerPixel + 31) / 32 * 4 * size.height();
}

// A format the reader does not name beforehand may be the widest there is.
int bitsPerPixel(QImage::Format format)
{
    return format == QImage::Format_Invalid ? kWidestBitsPerPixel
                                            : QImage::toPixelFormat(format).bitsPerPixel();
}

bool deeperThan8Bits(QImage::Format format)
{
    switch (format) {
    case QImage::Format_RGBX64:
    case QImage::Format_RGBA64:
    case QImage::Format_RGBA64_Premultiplied:
    case QImage::Format_Grayscale16:
    case QImage::Format_BGR30:
    case QImage::Format_A2BGR30_Premultiplied:
    case QImage::Format_RGB30:
    case QImage::Format_A2RGB30_Premultiplied:
        return true;
    default:
        return false;
    }
}

// The largest of the halvings that still covers the area (the whole size without
// a valid area).
QSize reducedSize(const QSize& size, const QSize& fitInto, int maxDivisor = 1 << 20)
{
    if (!fitInto.isValid() || fitInto.isEmpty() || size.isEmpty())
        return size;
    const double needed =
        qMin(double(fitInto.width()) / size.width(), double(fitInto.height()) / size.height());
    int divisor = 1;
    while (divisor < maxDivisor && needed * divisor * 2 <= 1.0)
        divisor *= 2;
    return QSize((size.width() + divisor - 1) / divisor, (size.height() + divisor - 1) / divisor);
}

// What showing a decoded image costs beyond the image itself: pictures of more
// than 8 bits a channel, and pictures to be scaled down, become 32-bit pixels
// first (smooth scaling works on those). From 32 bits a pixel up Qt converts in
// place; narrower pixels need a buffer of their own. Then the scaled copy.
qint64 showingCost(const QSize& size, QImage::Format format, const QSize& fitInto)
{
    const QSize reduced = reducedSize(size, fitInto);
    qint64 cost = 0;
    if ((deeperThan8Bits(format) || reduced != size) && bitsPerPixel(format) < 32)
        cost += imageBytes(size, 32);
    if (reduced != size)
        cost += imageBytes(reduced, 32);
    return cost;
}

QImage shownImage(QImage image, const QSize& fitInto)
{
    const QSize reduced = reducedSize(image.size(), fitInto);
    if (!deeperThan8Bits(image.format()) && reduced == image.size())
        return image;
    const QImage::Format shown =
        image.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32;
    image = std::move(image).convertToFormat(shown);
    if (reduced != image.size())
        image = image.scaled(reduced, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return image;
}

struct GifScreen {
    qint64 area = 0;
    bool restoresPrevious = false; // a frame asks for what lay under it back
};

// The area a GIF's decoder would allocate: its screen grown to cover every frame
// (Qt's decoder grows the picture to a frame that reaches past the screen, and does
// so while merely asked for the size), as far as the blocks go. A frame that
// restores what lay under it makes the decoder keep a second picture of that size.
GifScreen gifScreen(const QByteArray& body)
{
    const auto* b = reinterpret_cast<const uchar*>(body.constData());
    const int n = body.size();
    auto u16 = [b](int at) { return int(b[at]) | int(b[at + 1]) << 8; };
    if (n < 13)
        return {};
    qint64 width = u16(6), height = u16(8);
    bool restores = false;
    int at = 13 + ((b[10] & 0x80) ? 3 << ((b[10] & 7) + 1) : 0);
    auto skipSubBlocks = [&] {
        while (at < n && b[at] != 0)
            at += 1 + b[at];
        ++at;
    };
    while (at < n && b[at] != 0x3B) {
        if (b[at] == 0x21 && at + 1 < n) {
            // A graphic control block: its disposal method 3 restores the previous picture.
            if (b[at + 1] == 0xF9 && at + 3 < n && ((b[at + 3] >> 2) & 7) == 3)
                restores = true;
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
    return {width * height, restores};
}

// An icon's directory names sizes up to 256, but an entry may hold a PNG of any
// size, which the icon decoder decodes as it is, once it has read as many bytes as
// the entry declares (allocated up front, up to 2 GiB). The largest such PNG, and
// whether an entry declares more bytes than the body has.
struct IconPngs {
    qint64 pixels = 0;
    qint64 bytes = 0;
    bool overrun = false;
};
IconPngs iconPngs(const QByteArray& body)
{
    IconPngs most;
    const auto* b = reinterpret_cast<const uchar*>(body.constData());
    const int n = body.size();
    auto u32 = [b](int at) {
        return quint32(b[at]) | quint32(b[at + 1]) << 8 | quint32(b[at + 2]) << 16 |
               quint32(b[at + 3]) << 24;
    };
    if (n < 6)
        return most;
    const int count = int(b[4]) | int(b[5]) << 8;
    static const QByteArray kPngMagic("\x89PNG\r\n\x1a\n", 8);
    for (int i = 0; i < count && 6 + 16 * (i + 1) <= n; ++i) {
        const int entry = 6 + 16 * i;
        const quint32 declared = u32(entry + 8);
        const quint32 offset = u32(entry + 12);
        // The decoder goes to the offset; one past the end leaves it where it was,
        // just after the entry, and it reads on from there.
        const bool found = offset <= quint32(n);
        const int at = found ? int(offset) : entry + 16;
        if (n - at < kPngMagic.size() ||
            memcmp(b + at, kPngMagic.constData(), size_t(kPngMagic.size())) != 0)
            continue;
        if (declared > quint32(n - (found ? at : at + kPngMagic.size()))) {
            most.overrun = true;
            continue;
        }
        QByteArray png = QByteArray::fromRawData(body.constData() + at, n - at);
        QBuffer buffer(&png);
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer, "png");
        const QSize size = reader.size();
        if (!size.isValid())
            continue;
        most.pixels = qMax(most.pixels, pixelsOf(size));
        most.bytes = qMax(most.bytes, imageBytes(size, bitsPerPixel(reader.imageFormat())));
    }
    return most;
}

enum class Use {
    Show,  // kept and shown: at most 8 bits a channel, fitted to the area
    Check, // only looked at: decoded as cheaply as the format allows
};

bool decode(const QByteArray& body, Use use, const QSize& fitInto, QImage* image,
            QByteArray* format)
{
    *image = QImage();
    GifScreen gif;
    if (body.startsWith("GIF8")) {
        gif = gifScreen(body);
        if (gif.area > kMaxPicturePixels) {
            qCDebug(lcJwShow) << "picture refused, a GIF frame reaches too far";
            return false;
        }
    }
    QByteArray data = body;
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    // Asked once: once the header has been read, some handlers no longer know
    // their own format.
    const QByteArray readerFormat = reader.format();
    if (format)
        *format = readerFormat;
    // The header is read first: a few bytes can announce a picture that would
    // take gigabytes once decoded.
    const QSize announced = reader.size();
    if (!announced.isValid()) {
        // A header that does not tell the size leaves the decoder to find it, and
        // a GIF can then grow its picture to hundreds of megabytes from 35 bytes:
        // such bytes are no picture we show.
        return true;
    }
    qint64 pixels = pixelsOf(announced);
    QSize decodedSize = announced;
    if (readerFormat == "jpeg") {
        // The largest of JPEG's cheap reductions that still covers the area; a
        // picture only looked at is read at the smallest.
        decodedSize = use == Use::Check ? reducedSize(announced, QSize(1, 1), 8)
                                        : reducedSize(announced, fitInto, 8);
        if (decodedSize != announced)
            reader.setScaledSize(decodedSize);
    }
    qint64 bytes = imageBytes(decodedSize, bitsPerPixel(reader.imageFormat()));
    if (gif.area > 0) // the reader names no format beforehand: it decodes to 32-bit pixels
        bytes = gif.area * 4 * (gif.restoresPrevious ? 2 : 1);
    if (readerFormat == "ico" || readerFormat == "cur") {
        const IconPngs pngs = iconPngs(body);
        if (pngs.overrun) {
            qCDebug(lcJwShow) << "picture refused, an icon entry reaches past the end";
            return false;
        }
        pixels = qMax(pixels, pngs.pixels);
        bytes = qMax(bytes, pngs.bytes);
    }
    if (pixels > kMaxPicturePixels) {
        qCDebug(lcJwShow) << "picture refused, too many pixels:" << pixels;
        return false;
    }
    const qint64 cost =
        bytes + (use == Use::Show ? showingCost(decodedSize, reader.imageFormat(), fitInto) : 0);
    if (cost > kMaxPictureDecodeBytes) {
        qCDebug(lcJwShow) << "picture refused, decoding it would take" << (cost >> 20) << "MiB";
        return false;
    }

    QImage decoded = reader.read();
    // What the decoder made is what counts from here: a decoder may make more
    // than the header said.
    if (pixelsOf(decoded.size()) > kMaxPicturePixels ||
        decoded.sizeInBytes() +
                (use == Use::Show ? showingCost(decoded.size(), decoded.format(), fitInto) : 0) >
            kMaxPictureDecodeBytes) {
        qCDebug(lcJwShow) << "picture refused, decoded too large:" << decoded.size()
                          << decoded.format();
        return false;
    }
    *image = use == Use::Show ? shownImage(std::move(decoded), fitInto) : std::move(decoded);
    return true;
}

} // namespace

bool DecodePicture(const QByteArray& body, QImage* image, QByteArray* format, const QSize& fitInto)
{
    return decode(body, Use::Show, fitInto, image, format);
}

bool CheckPicture(const QByteArray& body, QByteArray* format)
{
    QImage image;
    return decode(body, Use::Check, QSize(), &image, format) && !image.isNull();
}
