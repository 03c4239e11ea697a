// A hostile app.ini through the settings reader, the way start-up reads it: the
// values it looks at, the port completed with its default, and a value written
// back into the same file.

#include "base/settings.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    static int argc = 1;
    static char name[] = "fuzz_settings";
    static char* argv[] = {name, nullptr};
    new QCoreApplication(argc, argv); // never destroyed: the leak check runs at exit
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Writing settings syncs the file to disk; on a memory file system that costs
    // nothing, elsewhere it would bound the run at a few dozen inputs a second.
    static QTemporaryDir dir(
        QDir("/dev/shm").exists() ? QStringLiteral("/dev/shm/fuzz_settings-XXXXXX") : QString());
    static quint64 serial = 0;
    const QString ini = dir.path() + QStringLiteral("/app.ini");
    {
        QFile f(ini);
        if (!f.open(QIODevice::WriteOnly))
            abort();
        f.write(reinterpret_cast<const char*>(data), qint64(size));
        // The settings cache takes a file of the same size and time for the one it
        // read before: every input gets a time of its own.
        f.setFileTime(QDateTime::fromMSecsSinceEpoch(qint64(++serial)),
                      QFileDevice::FileModificationTime);
    }
    SettingsStore store(ini);
    const AppSettings first = store.load();
    store.loadAutoFull();
    // A missing value has become the default, in the file as well.
    if (SettingsStore(ini).load().port != first.port)
        abort();
    // A changed setting is kept, whatever else the file holds.
    store.setPort(6011);
    if (SettingsStore(ini).load().port != 6011)
        abort();
    return 0;
}
