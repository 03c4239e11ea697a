#include "app/application.h"

#include "base/authcode.h"
#include "base/jwdebug.h"
#include "base/jwlog.h"
#include "host/autorun.h"
#include "host/display.h"
#include "host/firewall.h"
#include "host/processes.h"
#include "host/screenchoice.h"
#include "host/session.h"
#include "ui/messagebox.h"
#include "ui/webremotepanel.h"
#include "web/webremote.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHostInfo>
#include <QScreen>

namespace
{

const QString kTitle = QStringLiteral("系统消息");

// The program as the autostart entry names it: an installed copy by its link in
// the system's program folder (JW_LAUNCHER_DIR, relative to the program's own).
QString autorunProgram()
{
    QString program = QCoreApplication::applicationFilePath();
#ifdef JW_LAUNCHER_DIR
    const QString launcher =
        QDir::cleanPath(QCoreApplication::applicationDirPath() +
                        QStringLiteral("/" JW_LAUNCHER_DIR "/") + QFileInfo(program).fileName());
    program =
        QString::fromStdString(host::AutorunProgram(program.toStdString(), launcher.toStdString()));
#endif
    return QDir::toNativeSeparators(program);
}

ServerConfig serverConfig(const QString& hostName, const QString& code, PairingGuard* guard,
                          const ShowImageRect* picture)
{
    ServerConfig c;
    c.hostName = hostName;
    c.code = code;
    c.pairing = guard;
    c.picture = picture;
    return c;
}

} // namespace

Application::Application(bool debug, qint64 pairingLockMs, QObject* parent)
    : QObject(parent), debug_(debug), hostName_(QHostInfo::localHostName()),
      code_(MakeAuthCode()), // never printed: it pairs phones with the program
      settings_(GetAppDataPath() + QDir::separator() + QStringLiteral("app.ini")),
      guard_(code_, pairingLockMs), server_(serverConfig(hostName_, code_, &guard_, &picture_))
{
    JWLOG::setCode(code_);
    // The mode to go back to, before anything can change it.
    display_.SaveDisplayResolution();

    LogWindowFeed* feed = LogWindowFeed::instance();
    connect(
        feed, &LogWindowFeed::linesWaiting, &logWindow_,
        [this, feed] { logWindow_.appendLines(feed->take()); }, Qt::QueuedConnection);
    if (debug_)
        logWindow_.show();

    show_.setPictureRect(&picture_);
    show_.showDefaultImage();
    // The video's reports go to the controller that started it, like any reply.
    connect(&show_.video(), &VideoController::videoReport, this,
            [this](const cmd::VideoReport& r) { server_.dispatcher().Report(r); });

    // Where nothing composites windows, boards are painted over the shown picture,
    // and only where it is on the screen now.
    boards_.setUnderlaySource([this] {
        const QScreen* screen = boards_.targetScreen();
        paintViewManage::Underlay under;
        under.picture = QPixmap(screen ? screen->geometry().size() : QSize(1, 1));
        under.picture.fill(Qt::black);
        under.origin = screen ? screen->geometry().topLeft() : QPoint();
        if (!show_.isVisible() || show_.isMinimized())
            return under;
        // Rendered straight in, with grab()'s flags: a grab would be a second full-screen
        // image whose pages each board maps afresh (a closed board's memory goes back).
        show_.render(&under.picture, show_.geometry().topLeft() - under.origin, QRegion(),
                     QWidget::DrawWindowBackground | QWidget::DrawChildren | QWidget::IgnoreMask);
        // A video is drawn by the player straight to the screen: no picture of it.
        if (show_.isPictureMode())
            under.known = QRegion(show_.geometry());
        return under;
    });
    connect(&show_, &JWShowUi::pictureShown, &boards_, &paintViewManage::sl_underlayChanged);
    connectPageReports();
    connect(&show_, &JWShowUi::surfaceChanged, &boards_, &paintViewManage::sl_underlayChangedSoon);

    main_.setHostName(hostName_);
    main_.webRemotePanel()->setCode(code_);
    connect(&main_, &MainWindow::portChangeRequested, this, &Application::changePort);
    connect(&main_, &MainWindow::optionsApplied, this, &Application::applyOptions);
    connect(&main_, &MainWindow::disconnectRequested, this,
            [this](const QString& id) { server_.disconnect(id); });
    connect(&main_, &MainWindow::quitRequested, this, &Application::quit);
    // The guard tells of a pause from whichever thread saw the code.
    connect(
        &guard_, &PairingGuard::paused, this,
        [this] { main_.webRemotePanel()->showPause(guard_.pauseLeftMs()); }, Qt::QueuedConnection);
    connect(&companion_, &CompanionProcess::stateChanged, this, &Application::sl_reStartrcServer);
}

Application::~Application()
{
    // The workers first: nothing they do may meet a window that is going.
    cutOffWindows();
    server_.stop();
}

int Application::webPort() const
{
    return web_ ? web_->port() : 0;
}

void Application::cutOffWindows()
{
    windowsCutOff_ = true;
    LogWindowFeed::instance()->close();
}

void Application::start()
{
    JWLOG::debug(QStringLiteral("init set"));
    JWLOG::debug(QStringLiteral("APP iniPath:") + settings_.path());

    // The table has its columns before the dispatcher starts: a controller may log
    // in while a message box below waits, and a row without columns would lose it.
    main_.InitTableWidget();

    const AppSettings s = settings_.load();
    MainWindow::Options options;
    options.runTray = s.runTray;
    main_.setOptions(options);
    if (s.runTray)
        main_.hide();
    else
        main_.show();
    // Off by default: the phone apps out there log in with any password.
    setCodeRequired(s.pairing);
    // The windows are on their screen before any phone can show them.
    showScreenSetting_ = s.screen;
    watchScreens();
    noteWaylandSession();

    // The dispatcher runs whatever the ports do: a later port change then serves
    // at once, and controllers are answered while a message box below is open.
    JWdataManage::Receivers receivers;
    receivers.show = [this](const cmd::ShowCommand& c) {
        if (!windowsCutOff_)
            show_.apply(c);
    };
    receivers.boards = [this](const cmd::BoardCommand& c) {
        if (!windowsCutOff_)
            boards_.apply(c);
    };
    receivers.main = [this](const cmd::MainCommand& c) {
        if (!windowsCutOff_)
            applyMain(c);
    };
    server_.start(std::move(receivers));

    port_ = s.port;
    if (listenWithFallbacks()) {
        server_.dispatcher().SetCompanionPort(port_ + 1);
        main_.setPort(port_);
        options.autoRun = QString::fromStdString(host::ReadAutorunEntry()) == autorunProgram();
        options.autoFull = settings_.loadAutoFull();
        show_.setAutoFull(options.autoFull);
        main_.setOptions(options);
    }
    main_.InitTrayIcon();
    startCompanion(QCoreApplication::applicationDirPath());
    startWebRemote();
}

void Application::watchScreens()
{
    connect(&main_, &MainWindow::screenChosen, this, &Application::chooseShowScreen);
    auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (gui) {
        // Unplugged, the show screen's windows go to the primary screen; plugged
        // back, they return. (Handled before the toolkit moves windows itself.)
        connect(gui, &QGuiApplication::screenRemoved, this,
                [this](QScreen* gone) { placeOnShowScreen(gone); });
        connect(gui, &QGuiApplication::screenAdded, this, [this] { placeOnShowScreen(); });
        connect(gui, &QGuiApplication::primaryScreenChanged, this, [this] { placeOnShowScreen(); });
    }
    placeOnShowScreen();
}

void Application::chooseShowScreen(const QString& setting)
{
    showScreenSetting_ = setting;
    settings_.setScreen(setting);
    JWLOG::debug(QStringLiteral("show screen set to \"") + setting + QStringLiteral("\""));
    placeOnShowScreen();
}

void Application::placeOnShowScreen(QScreen* leaving)
{
    QList<QScreen*> screens = QGuiApplication::screens();
    screens.removeAll(leaving);
    if (screens.isEmpty())
        return; // the last one going: the toolkit has nowhere else either
    std::vector<std::string> names;
    for (const QScreen* s : qAsConst(screens))
        names.push_back(s->name().toStdString());
    const int chosen = host::ChooseScreen(showScreenSetting_.toStdString(), names);
    QScreen* primary = QGuiApplication::primaryScreen();
    if (!primary || primary == leaving)
        primary = screens.first();
    QScreen* const target = chosen >= 0 ? screens.at(chosen) : primary;

    const bool missing = chosen < 0 && !showScreenSetting_.trimmed().isEmpty();
    if (missing != showScreenMissing_) {
        const QString line =
            missing ? QStringLiteral("show screen \"%1\" is not connected: the windows use "
                                     "the primary screen %2")
                          .arg(showScreenSetting_, target->name())
                    : QStringLiteral("show screen \"%1\" is connected: the windows move to %2")
                          .arg(showScreenSetting_, target->name());
        JWLOG::warning(line);
        qCWarning(lcJwShow).noquote() << line;
        showScreenMissing_ = missing;
    }
    if (target != showScreen_) {
        const QRect area = target->geometry();
        JWLOG::debug(QStringLiteral("show screen: %1, %2x%3 at %4,%5")
                         .arg(target->name())
                         .arg(area.width())
                         .arg(area.height())
                         .arg(area.x())
                         .arg(area.y()));
        showScreen_ = target;
        show_.setTargetScreen(target);
        boards_.setTargetScreen(target);
        // The display mode changes act on the show screen's output; the primary's
        // when the setting names none that is plugged in.
        display_.SelectDisplayOutput(chosen >= 0 ? target->name().toStdString() : std::string());
        // A new mode (or a new arrangement) of that screen: the windows cover it anew.
        disconnect(showScreenResized_);
        showScreenResized_ = connect(target, &QScreen::geometryChanged, this, [this] {
            if (showScreen_) {
                show_.setTargetScreen(showScreen_);
                boards_.setTargetScreen(showScreen_);
            }
        });
    }
    listScreens();
}

void Application::listScreens()
{
    QList<MainWindow::ScreenChoice> choices{{tr("主屏幕（默认）"), QString()}};
    int current = 0;
    const QList<QScreen*> screens = QGuiApplication::screens();
    for (int i = 0; i < screens.size(); ++i) {
        const QScreen* s = screens.at(i);
        choices.append({QStringLiteral("%1: %2  %3 × %4")
                            .arg(i + 1)
                            .arg(s->name())
                            .arg(s->geometry().width())
                            .arg(s->geometry().height()),
                        s->name()});
        if (s == showScreen_ && !showScreenSetting_.trimmed().isEmpty() && !showScreenMissing_)
            current = i + 1;
    }
    // A chosen screen that is unplugged stays the choice: it is used when it comes back.
    if (showScreenMissing_) {
        choices.append({tr("%1（未连接）").arg(showScreenSetting_), showScreenSetting_});
        current = choices.size() - 1;
    }
    main_.setScreens(choices, current);
}

void Application::noteWaylandSession()
{
    if (!host::WaylandSession())
        return;
    main_.showWaylandNotice();
    const QString line =
        QStringLiteral("Wayland session: the pointer, slide keys and display modes reach only "
                       "XWayland's windows; the X11 session at log-in makes them work");
    JWLOG::warning(line);
    qCWarning(lcJwShow).noquote() << line;
}

bool Application::listenWithFallbacks()
{
    const int configured = port_;
    int candidate = configured;
    bool listening = false;
    for (int attempt = 0; attempt < kPortAttempts && !listening; ++attempt) {
        listening = server_.listen(candidate);
        if (!listening)
            candidate += kPortStep;
    }
    if (!listening) {
        JWLOG::error(QStringLiteral("system start network server error:= retBind = false"));
        ShowMessage(kTitle, tr("系统启动网络服务器失败。"));
        return false;
    }
    port_ = candidate;
    if (candidate != configured) {
        settings_.setPort(port_);
        ShowMessage(kTitle, tr("默认端口已经被占用,系统自动更改为%1").arg(port_));
    }
    return true;
}

void Application::applyMain(const cmd::MainCommand& c)
{
    struct Apply {
        Application* a;
        void operator()(const cmd::ControllerAdded& u) const
        {
            a->main_.Add_User(u.id, u.name, u.ip);
        }
        void operator()(const cmd::ControllerRemoved& u) const
        {
            a->main_.RemoveUser(u.id);
            // The display goes back to its recorded mode when the last controller
            // has left.
            if (a->main_.controllerCount() == 0 && a->display_.IsResolutionChanged())
                a->display_.RestoreDisplayResolution();
        }
        void operator()(const cmd::ChangeResolution& r) const
        {
            a->display_.SetDisplayResolution(r.width, r.height);
        }
        void operator()(const cmd::RestoreResolution&) const
        {
            if (a->display_.IsResolutionChanged())
                a->display_.RestoreDisplayResolution();
        }
        void operator()(const cmd::LocalAddresses& l) const
        {
            if (l.changed)
                qCDebug(lcJwShow) << "Local IP changed";
            a->main_.sl_LocalIp(l.ips);
        }
    };
    std::visit(Apply{this}, c);
}

void Application::startCompanion(const QString& folder)
{
    const bool wide = host::GetSystemBits() == 64;
    const QString exe =
        CompanionProcess::ExecutableName(wide ? "JWRCServer_x64" : "JWRCServer_x86");
    const QString path = QDir::toNativeSeparators(folder) + QDir::separator() + exe;
    host::FireWal::AddProgram(exe.toStdString(), path.toStdString(), [](const std::string& line) {
        qCDebug(lcJwShow).noquote() << QString::fromStdString(line);
    });
    qCDebug(lcJwShow) << "process path::" << path;
    // Each start's command line from the ports and code of that moment.
    companion_.setArguments([this] {
        return CompanionProcess::BuildArguments(server_.dispatcher().CompanionPort(), code_, port_,
                                                debug_);
    });
    if (!QFileInfo(path).isFile()) {
        qCDebug(lcJwShow) << "jwrcserver no exit";
        JWLOG::debug(path + QStringLiteral("file not exist."));
        return;
    }
    companion_.setProgram(path);
    companion_.start();
}

void Application::sl_reStartrcServer(QProcess::ProcessState state)
{
    bool ownStop = false;
    if (portChangePending_) {
        const int newPort = main_.requestedPort();
        // Only a port that differs from the one served needs a re-bind; the
        // controllers are not cut off for nothing.
        if (newPort != server_.sockets().ListenPort()) {
            if (!rebindServer(newPort)) {
                // The field goes back first: a state change reported while the box
                // is open must not try the refused port again.
                main_.setPort(port_);
                // The companion stopped for this change must not stay down: it
                // comes back with the ports in force.
                if (state == QProcess::NotRunning)
                    companion_.restart(true);
                ShowInformation(kTitle, tr("重启服务失败。请重新修改端口号,再启动。"));
                return;
            }
            ownStop = true;
            portChangePending_ = false;
        }
        // Else a refused change stays pending: the next stop tries the field again.
    }
    if (state == QProcess::NotRunning) {
        companion_.restart(ownStop);
        JWLOG::debug(QStringLiteral("reStart rcServer ,process state::") + QStringLiteral("0"));
        qCDebug(lcJwShow) << "reStart rcServer";
    }
    main_.flashPrompt(tr("重启服务成功。"));
}

void Application::changePort()
{
    // The companion's stop brings the re-bind and its restart with the new
    // ports; without a running companion the re-bind happens here.
    portChangePending_ = true;
    if (companion_.state() == QProcess::Running)
        companion_.kill();
    else
        sl_reStartrcServer(QProcess::NotRunning);
}

bool Application::rebindServer(int newPort)
{
    // The new port is bound first, while everyone stays connected: a port that
    // cannot be had changes nothing.
    if (!server_.listen(newPort))
        return false;
    // Every connection closes; each close reaches the registry behind the packets
    // of its connection, so no controller outlives its connection.
    server_.sockets().CloseAll();
    const int oldPort = port_;
    server_.dispatcher().SetCompanionPort(newPort + 1);
    port_ = newPort;
    settings_.setPort(port_);
    main_.setPort(port_);
    // A web port that followed the service (the old port + 2) follows again; one
    // set to anything else stays.
    if (settings_.webPort() == oldPort + kWebPortOffset) {
        settings_.setWebPort(newPort + kWebPortOffset);
        listenWeb(newPort + kWebPortOffset);
    }
    return true;
}

void Application::applyOptions(const MainWindow::Options& o)
{
    if (!host::WriteAutorunEntry(
            (o.autoRun ? autorunProgram() : QStringLiteral(" ")).toStdString()))
        JWLOG::error(QStringLiteral("autorun entry not written: ") +
                     QString::fromStdString(host::AutorunEntryLocation()));
    settings_.setAutoFull(o.autoFull);
    show_.setAutoFull(o.autoFull);
    settings_.setRunTray(o.runTray);
    // The next TCP login is checked; controllers already logged in stay.
    settings_.setPairing(o.pairing);
    setCodeRequired(o.pairing);
    if (debug_)
        main_.flashPrompt(tr("应用成功"));
}

void Application::setCodeRequired(bool on)
{
    guard_.setTcpCodeRequired(on);
    main_.setPhoneAccess(on);
}

void Application::connectPageReports()
{
    connect(&show_, &JWShowUi::pageReport, this,
            [this](const cmd::PageReport& r) { server_.dispatcher().Report(r); });
    connect(&show_, &JWShowUi::pictureShown, this, &Application::sendPagePicture);
}

void Application::sendPagePicture()
{
    if (web_)
        web_->showPicture(show_.sourcePicture().toImage());
}

void Application::startWebRemote()
{
    web_ = std::make_unique<WebRemote>(server_, guard_);
    sendPagePicture(); // the idle picture, shown before the remote was there
    int port = settings_.webPort();
    if (port == 0) {
        port = port_ + kWebPortOffset;
        settings_.setWebPort(port);
    }
    listenWeb(port);
}

bool Application::listenWeb(int port)
{
    // The fallbacks are not written back: the QR code carries whichever port is
    // served, and the configured one is tried again at the next start.
    bool ok = false;
    for (int attempt = 0; attempt < kPortAttempts && !ok; ++attempt) {
        const int candidate = port + attempt * kPortStep;
        ok = candidate > 0 && candidate <= 65535 && web_->listen(quint16(candidate));
    }
    if (!ok) {
        web_->close();
        JWLOG::error(QStringLiteral("web remote: no port from %1 could be had").arg(port));
    }
    main_.webRemotePanel()->setWebPort(web_->port());
    return ok;
}

void Application::quit()
{
    server_.stop();

    JWLOG::debug(QStringLiteral("---------Exit--------"));
    JWLOG::log_close();

    // Killing the companion now starts nothing.
    disconnect(&companion_, nullptr, this, nullptr);
    companion_.stopForGood();

    if (display_.IsResolutionChanged())
        display_.RestoreDisplayResolution();

    main_.closeForGood();
    QCoreApplication::exit(0);
}
