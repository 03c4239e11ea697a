#pragma once
// A QR code drawn crisp: whole pixels per module, a quiet zone of four modules,
// black on white whatever the style. Encoded with libqrencode at level M.

#include <QVector>
#include <QWidget>

class QrCodeLabel : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kQuietModules = 4;
    // A phone camera reads a code on a screen well from about this size on.
    static constexpr int kMinModulePixels = 4;

    explicit QrCodeLabel(QWidget* parent = nullptr);

    // Encodes the text; an empty text (or one too long to encode) draws nothing.
    void setText(const QString& text);
    QString text() const { return text_; }
    int modules() const { return side_; } // per side, without the quiet zone; 0: none

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString text_;
    int side_ = 0;
    QVector<bool> dark_; // row by row
};
