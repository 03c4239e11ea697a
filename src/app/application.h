#pragma once
// The program: one object that owns the settings, the control server, the
// windows, the companion and the browser remote, starts them in order, changes
// the port, and quits in order. The windows are views of it: they show what it
// tells them and ask it for what the user wants.

#include "app/companion.h"
#include "base/settings.h"
#include "base/showimagerect.h"
#include "host/display.h"
#include "jwpaint/paintviewmanage.h"
#include "server/controlserver.h"
#include "server/pairingguard.h"
#include "show/jwshowui.h"
#include "ui/jwlogui.h"
#include "ui/mainwindow.h"

#include <QObject>
#include <QPointer>
#include <QProcess>
#include <atomic>
#include <memory>

class QScreen;
class WebRemote;

class Application : public QObject
{
    Q_OBJECT
public:
    // The service port and its fallbacks: the port, +11, +22, +33, +44.
    static constexpr int kPortAttempts = 5;
    static constexpr int kPortStep = 11;
    static constexpr int kWebPortOffset = 2; // the web port follows the service port

    // debug: the first argument asked for debug mode (the log window is shown).
    // pairingLockMs: how long a guesser of the code is locked out.
    explicit Application(bool debug, qint64 pairingLockMs = PairingGuard::kWindowMs,
                         QObject* parent = nullptr);
    ~Application() override;

    // Reads the settings, starts the server (with its fallback ports), the tray,
    // the companion and the browser remote. Message boxes may run from here.
    void start();
    // The quit entry's orderly end: workers stopped, the log closed with its Exit
    // record, the companion killed, the display restored, the event loop left
    // with 0.
    void quit();
    // From any thread (a quit signal's): nothing the workers still hand over
    // reaches a window, and the log window takes no more lines.
    void cutOffWindows();

    MainWindow& mainWindow() { return main_; }
    JWLOGUI& logWindow() { return logWindow_; }
    JWShowUi& showWindow() { return show_; }
    paintViewManage& boards() { return boards_; }
    ControlServer& server() { return server_; }
    CompanionProcess& companion() { return companion_; }
    SettingsStore& settings() { return settings_; }
    int port() const { return port_; } // the service port served, 0 while none
    int webPort() const;               // the browser remote's, 0 while none
    const QString& code() const { return code_; }

    // Starts the companion from the folder (start-up: the program's own), and again
    // whenever it stops.
    void startCompanion(const QString& folder);
    PairingGuard& pairingGuard() { return guard_; }
    // Serves the browser remote on the port, else the first free of its fallbacks
    // (not written back: the configured one is tried again at the next start).
    bool listenWeb(int port);

    // What the companion's stop means: a pending port change is made first, and a
    // stopped companion is started again (the prompt flashes on every change).
    void sl_reStartrcServer(QProcess::ProcessState state);

private:
    void applyMain(const cmd::MainCommand& c);
    bool listenWithFallbacks();
    void startWebRemote();
    // What the show window tells the browser remote's pages: what came of their
    // requests, and the picture they draw on.
    void connectPageReports();
    void sendPagePicture();
    void changePort(); // to the port the main window asks for
    // Moves the server to newPort and closes every connection; when the port
    // cannot be bound, nothing changes.
    bool rebindServer(int newPort);
    void applyOptions(const MainWindow::Options& o);
    void setCodeRequired(bool on);
    // The show screen: the windows, the display mode and the settings tab's list
    // follow the setting and the screens plugged in (leaving: one being removed).
    void watchScreens();
    void chooseShowScreen(const QString& setting);
    void placeOnShowScreen(QScreen* leaving = nullptr);
    void listScreens();
    // Where a Wayland session keeps the pointer, keys and display modes from the
    // desktop, the settings window and the log say so once.
    void noteWaylandSession();

    const bool debug_;
    const QString hostName_;
    const QString code_;
    host::DisplayMode display_; // the show screen's mode, put back at the quit
    SettingsStore settings_;
    ShowImageRect picture_;
    PairingGuard guard_;
    JWLOGUI logWindow_;
    JWShowUi show_;
    paintViewManage boards_;
    MainWindow main_;
    // After the windows: destroyed before them, its threads stopped first.
    ControlServer server_;
    std::unique_ptr<WebRemote> web_; // after the server, whose controllers its pages are
    CompanionProcess companion_;
    std::atomic<bool> windowsCutOff_{false};
    int port_ = 0;
    bool portChangePending_ = false; // a confirmed port change waits for its re-bind
    QString showScreenSetting_;
    QPointer<QScreen> showScreen_;   // the screen the windows are placed on
    bool showScreenMissing_ = false; // the setting names a screen not plugged in
    QMetaObject::Connection showScreenResized_;
};
