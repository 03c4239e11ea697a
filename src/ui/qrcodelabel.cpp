#include "ui/qrcodelabel.h"

#include <QPainter>
#include <qrencode.h>

#include <memory>

QrCodeLabel::QrCodeLabel(QWidget* parent) : QWidget(parent) {}

void QrCodeLabel::setText(const QString& text)
{
    if (text == text_)
        return;
    text_ = text;
    side_ = 0;
    dark_.clear();
    if (!text.isEmpty()) {
        const QByteArray utf8 = text.toUtf8();
        const std::unique_ptr<QRcode, void (*)(QRcode*)> code(
            QRcode_encodeString(utf8.constData(), 0, QR_ECLEVEL_M, QR_MODE_8, 1), QRcode_free);
        if (code) {
            side_ = code->width;
            dark_.resize(side_ * side_);
            for (int i = 0; i < side_ * side_; ++i)
                dark_[i] = code->data[i] & 1; // bit 0: a dark module
        }
    }
    setMinimumSize(minimumSizeHint());
    updateGeometry();
    update();
}

QSize QrCodeLabel::minimumSizeHint() const
{
    const int px = (side_ + 2 * kQuietModules) * kMinModulePixels;
    return side_ ? QSize(px, px) : QSize(0, 0);
}

QSize QrCodeLabel::sizeHint() const
{
    // Larger than the least that scans: a phone held at arm's length reads it too.
    const int px = (side_ + 2 * kQuietModules) * (kMinModulePixels + 2);
    return side_ ? QSize(px, px) : QSize(0, 0);
}

void QrCodeLabel::paintEvent(QPaintEvent*)
{
    if (!side_)
        return;
    const int total = side_ + 2 * kQuietModules;
    const int module = qMax(1, qMin(width(), height()) / total);
    const int extent = module * total;
    const QPoint origin((width() - extent) / 2, (height() - extent) / 2);
    QPainter p(this);
    p.fillRect(QRect(origin, QSize(extent, extent)), Qt::white);
    const QPoint first = origin + QPoint(kQuietModules, kQuietModules) * module;
    for (int y = 0; y < side_; ++y) {
        for (int x = 0; x < side_; ++x) {
            if (dark_[y * side_ + x])
                p.fillRect(first.x() + x * module, first.y() + y * module, module, module,
                           Qt::black);
        }
    }
}
