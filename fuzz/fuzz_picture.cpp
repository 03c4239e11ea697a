// Picture bodies through the show window's bounded decoder: truncated, corrupt or
// huge headers must come out as a refusal or a picture within the pixel limit.

#include "show/picturedecode.h"

#include <QGuiApplication>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    unsetenv("DISPLAY");
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "fuzz_picture";
    static char* argv[] = {name, nullptr};
    new QGuiApplication(argc, argv); // never destroyed: the leak check runs at exit
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QImage image;
    const bool shown = picture::Decode(
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(size)), &image);
    if ((!shown && !image.isNull()) || qint64(image.width()) * image.height() > picture::kMaxPixels)
        abort();
    return 0;
}
