#include "app/application.h"
#include "app/companion.h"
#include "app/quitsignals.h"
#include "app/singleinstance.h"
#include "app/translations.h"
#include "base/jwdebug.h"
#include "base/jwlog.h"
#include "host/firewall.h"
#include "host/instancelock.h"
#include "host/processes.h"
#include "host/session.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QStandardPaths>
#include <QTranslator>
#include <atomic>

namespace
{

const QString kMessage = QStringLiteral("jwshow");
constexpr int kMessageTimeoutMs = 5000;

// Without any display the program still serves its port; the offscreen platform
// stands in for the screen.
void chooseOffscreenWithoutDisplay()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

// In a Wayland session the windows go through XWayland, where the host layer's
// pointer, keys and display modes reach at least XWayland's windows (Qt would
// otherwise choose its Wayland platform outside GNOME, out of their reach).
void chooseXWaylandInWayland()
{
    if (host::WaylandSession() && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") &&
        !qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "xcb");
}

// The system-wide lock "JWSHOW"; isolated instances (a data folder of their own)
// get one of their own, named after the same resolved folder as the single
// instance, so that a link to the folder finds the lock taken.
std::string instanceLockName()
{
    if (qEnvironmentVariableIsEmpty("JWSHOW_DATA_DIR"))
        return "JWSHOW";
    const QByteArray hash = QCryptographicHash::hash(SingleInstance::defaultIdentity().toUtf8(),
                                                     QCryptographicHash::Sha1)
                                .toHex()
                                .left(16);
    return "JWSHOW-" + hash.toStdString();
}

std::string instanceLockFolder()
{
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty())
        dir = QDir::tempPath();
    return QFile::encodeName(dir).toStdString();
}

// A companion from an earlier run would hold the companion's port: it goes before
// a new one is started, and so does every other left over (killing only the first
// found could spare the one holding our port). One that belongs to another running
// copy of the program (an isolated instance with a data folder of its own) is not
// left over.
void killLeftOverCompanions()
{
    qCDebug(lcJwShow) << "try find JWRCServer";
    const std::string name = CompanionProcess::ExecutableName(
                                 host::GetSystemBits() == 32 ? "JWRCServer_x32" : "JWRCServer_x64")
                                 .toStdString();
    const std::string self =
        QFile::encodeName(QFileInfo(QCoreApplication::applicationFilePath()).fileName())
            .toStdString();
    for (const unsigned long pid : host::FindProcessesByName(name.c_str(), self.c_str())) {
        qCDebug(lcJwShow) << "get pid::" << pid;
        host::KillProcess(pid);
        qCDebug(lcJwShow) << "kill JWServer .";
#ifdef Q_OS_WIN
        JWLOG::debug(QStringLiteral("taskkill /f /pid ") + QString::number(pid));
#else
        JWLOG::debug(QStringLiteral("kill -KILL ") + QString::number(pid));
#endif
    }
}

bool isDebugArgument(int argc, char** argv)
{
    return argc > 1 && QString::fromLocal8Bit(argv[1]).toLower() == QLatin1String("debug");
}

// Tests shorten the lock-out of a guesser of the code (documented in the README).
qint64 pairingLockMs()
{
    bool ok = false;
    const qint64 ms = qEnvironmentVariableIntValue("JWSHOW_WEB_LOCKOUT_MS", &ok);
    return ok && ms > 0 ? ms : PairingGuard::kWindowMs;
}

} // namespace

int main(int argc, char** argv)
{
    chooseOffscreenWithoutDisplay();
    chooseXWaylandInWayland();
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QTranslator translator;
    InstallTranslations(QLocale::system(), translator);

    SingleInstance instance(SingleInstance::defaultIdentity());
    if (instance.isRunning()) {
        qCDebug(lcJwShow) << "already runing";
        instance.sendMessage(kMessage, kMessageTimeoutMs);
        return 0;
    }
    if (!host::AcquireInstanceLock(instanceLockFolder(), instanceLockName())) {
        // The holder of the lock did not answer the first check, so it listens
        // under no key of ours: a message would only come back to this process
        // and wait out its time-out.
        qCDebug(lcJwShow) << "already runing 2";
        return 0;
    }

    // SIGTERM and SIGINT take the quit entry's way out. Until the main event loop
    // runs (a message box of the set-up may run a nested one) the request is kept
    // and carried out once the set-up is done.
    // The request reaches the GUI thread behind whatever was queued for it before
    // (a flood of packets queues display work and log lines by the thousand), so
    // at once, on the watch's thread, the windows are cut off from the workers and
    // the log window's waiting lines dropped: what is queued then costs nothing,
    // and the quit follows it within moments.
    std::atomic<Application*> program{nullptr};
    bool inMainLoop = false;
    bool quitPending = false;
    QuitSignals quitSignals([&program] {
        LogWindowFeed::instance()->close();
        if (Application* p = program)
            p->cutOffWindows();
    });
    QObject::connect(&quitSignals, &QuitSignals::quitRequested, &app, [&](int) {
        if (inMainLoop && program) {
            program.load()->quit();
            return;
        }
        quitPending = true;
        QCoreApplication::exit(0); // ends a modal box of the set-up
    });

    const QString programPath = QDir::toNativeSeparators(QApplication::applicationFilePath());
    qCDebug(lcJwShow) << "fier path::" << programPath;
    const QString appDir = QDir::toNativeSeparators(QApplication::applicationDirPath());

    host::FireWal::AddProgram(QCoreApplication::applicationName().toStdString(),
                              programPath.toStdString(), [](const std::string& line) {
                                  qCDebug(lcJwShow).noquote() << QString::fromStdString(line);
                              });

    const bool debug = isDebugArgument(argc, argv);
    if (debug) {
        g_debugMode = true;
        // QT_LOGGING_RULES, read later, still has the last word.
        QLoggingCategory::setFilterRules(QStringLiteral("jwshow.debug=true"));
    }
    JWLOG::log_init(GetAppDataPath());
    JWLOG::log_open();
    JWLOG::debug(QStringLiteral("---------Start--------"));
    JWLOG::debug(QStringLiteral("app path=") + appDir);
    qCDebug(lcJwShow) << "app path==" << appDir;

    killLeftOverCompanions();

    Application application(debug, pairingLockMs());
    QObject::connect(&instance, &SingleInstance::messageReceived, &application.mainWindow(),
                     &MainWindow::showNormal);
    program = &application;
    application.start();

    if (quitPending) {
        application.quit();
        return 0;
    }
    inMainLoop = true;
    const int rc = app.exec();
    inMainLoop = false;
    return rc;
}
