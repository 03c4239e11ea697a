// Picture bodies through the one bounded decoder: the show window's decoding (at a
// reduced scale for a screen of a size taken from the input) and the check of an
// uploaded picture. Truncated, corrupt or huge headers must come out as a refusal
// or a picture within the pixel limit, of at most 8 bits a channel (libFuzzer's
// malloc limit catches a decoder that allocates past the decoding bound).

#include "base/picturedecode.h"

#include <QGuiApplication>
#include <QPainter>
#include <cstdint>
#include <cstdlib>
#include <sanitizer/lsan_interface.h>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    unsetenv("DISPLAY");
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "fuzz_picture";
    static char* argv[] = {name, nullptr};
    new QGuiApplication(argc, argv); // never destroyed: the leak check runs at exit
    // The icon decoder paints its masks; a first painter makes fontconfig load its
    // configuration, which it keeps for the life of the process. Loaded here,
    // outside the leak check, as any program loads it once.
    {
        __lsan::ScopedDisabler loadedForGood;
        QImage canvas(1, 1, QImage::Format_ARGB32);
        QPainter(&canvas).end();
    }
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray body = QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(size));
    // The last byte picks the screen: none, or one from 1 x 1 up to 4K.
    const int pick = size ? data[size - 1] : 0;
    const QSize screen = pick % 4 == 0 ? QSize() : QSize(1 + pick * 15, 1 + pick * 8);
    QImage image;
    QByteArray format;
    const bool shown = DecodePicture(body, &image, &format, screen);
    if ((!shown && !image.isNull()) || qint64(image.width()) * image.height() > kMaxPicturePixels ||
        image.depth() > 32 || image.sizeInBytes() > kMaxPictureDecodeBytes)
        abort();
    CheckPicture(body, &format);
    return 0;
}
