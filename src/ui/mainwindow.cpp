#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include "base/appglobals.h"
#include "base/authcode.h"
#include "base/jwlog.h"
#include "base/threadjoin.h"
#include "host/autorun.h"
#include "host/display.h"
#include "host/firewall.h"
#include "host/processes.h"
#include "protocol/protocol.h"
#include "server/jwdatamanage.h"
#include "server/jwshowservice.h"
#include "server/jwusermanage.h"
#include "server/pairingguard.h"
#include "ui/about.h"
#include "ui/messagebox.h"
#include "ui/webremotepanel.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHeaderView>
#include <QHostInfo>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPixmap>
#include <QRegExpValidator>
#include <QScreen>
#include <QTimer>
#include <QUrl>

#include <algorithm>

namespace
{

const QString kGroup = QLatin1String(proto::kConfig);
const QString kPortKey = QLatin1String(proto::kCfgPort);
const QString kRunTrayKey = QLatin1String(proto::kCfgRunTray);
const QString kAutoFullKey = QLatin1String(proto::kCfgAutoFull);
const QString kPairingKey = QLatin1String(proto::kCfgPairing);
const QString kTitle = QStringLiteral("系统消息");
constexpr int kPortAttempts = 5;
constexpr int kPortStep = 11;
constexpr int kPromptMs = 500;
// The worker loops notice their cleared run flag within one pass (300 ms at most);
// the bound only keeps a stuck thread from holding up the exit for ever.
constexpr unsigned long kThreadStopWaitMs = 3000;

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

} // namespace

MainWindow::MainWindow(PairingGuard& guard, QWidget* parent)
    : QMainWindow(parent), ui(new Ui::MainWindow), pairing(guard), about(new About)
{
    ui->setupUi(this);
    setWindowFlags(Qt::Window | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    ui->tabWidget->setCurrentIndex(0);
    ui->label_Prompt->hide();

    ui->lineEditPort->setValidator(
        new QRegExpValidator(QRegExp(QStringLiteral("[0-9]+$")), ui->lineEditPort));

    setWindowIcon(QIcon(QStringLiteral(":/jw/icon")));
    ui->labellogo->setPixmap(QPixmap(QStringLiteral(":/jw/logo")));
    ui->labinfo->setPixmap(QPixmap(QStringLiteral(":/jw/info")));

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect desk = screen->geometry();
        move((desk.width() - width()) / 2, (desk.height() - height()) / 2);
    }

    host::SaveDisplayResolution();

    iniPath = GetAppDataPath() + QDir::separator() + QStringLiteral("app.ini");
    qDebug() << "AppData::" << iniPath;
}

MainWindow::~MainWindow() = default;

void MainWindow::InitConnect()
{
    connect(this, &MainWindow::msg_addUser, this, &MainWindow::Add_User);
    connect(this, &MainWindow::msg_removeUser, this, &MainWindow::RemoveUser);
    connect(this, &MainWindow::msg_ChangeResolution, this, &MainWindow::ChangeResolution);
    connect(this, &MainWindow::msg_ReductionResolution, this, &MainWindow::ReductionResolution);

    ui->labComputerName->setText(QHostInfo::localHostName());
    g_computerName = ui->labComputerName->text();

    connect(this, &MainWindow::msg_localIp, this, &MainWindow::sl_LocalIp);
    connect(this, &MainWindow::msg_localIpChanged, this, &MainWindow::sl_LocalIpChanged);

    ui->label_url->setText(QStringLiteral("<a href=\"") + g_helpUrl +
                           QStringLiteral("\">点击快速指南,获取主控端APP</a>."));
    activateWindow();
}

void MainWindow::InitSet()
{
    JWLOG::debug(QStringLiteral("init set"));
    JWLOG::debug(QStringLiteral("APP iniPath:") + iniPath);

    const QString runTray = ReadConfig(kGroup, kRunTrayKey, iniPath);
    if (runTray == QLatin1String("1")) {
        ui->checkBoxRunTrayIcon->setChecked(true);
        hide();
    } else {
        if (runTray.isEmpty()) {
            WriteConfig(kGroup, kRunTrayKey, QStringLiteral("0"), iniPath);
            ui->checkBoxRunTrayIcon->setChecked(false);
        }
        show();
    }

    const QString portText = ReadConfigOrDefault(kGroup, kPortKey, QStringLiteral("5555"), iniPath);
    g_port = portText.toInt(); // not a number: 0

    g_auth = MakeAuthCode(); // never printed: it pairs phones with the program
    // Off by default: the phone apps out there log in with any password.
    setCodeRequired(ReadConfigOrDefault(kGroup, kPairingKey, QStringLiteral("0"), iniPath) ==
                    QLatin1String("1"));

    // The dispatcher runs whatever the ports do: a later port change then serves
    // at once, and controllers are answered while a message box below is open.
    JWdataManage::GetInstance()->start(QThread::InheritPriority);

    int candidate = g_port;
    bool listening = false;
    for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
        if (JWShowService::GetInstance()->Init(candidate)) {
            listening = true;
            break;
        }
        candidate += kPortStep;
    }
    if (!listening) {
        JWLOG::error(QStringLiteral("system start network server error:= retBind = false"));
        ShowMessage(kTitle, QStringLiteral("系统启动网络服务器失败。"));
        return;
    }
    if (candidate != g_port) {
        g_port = candidate;
        WriteConfig(kGroup, kPortKey, QString::number(g_port), iniPath);
        ShowMessage(kTitle, QStringLiteral("默认端口已经被占用,系统自动更改为%1").arg(g_port));
    }
    g_rcPort = g_port + 1;
    ui->lineEditPort->setText(QString::number(g_port));

    ui->checkBoxAutoRun->setChecked(QString::fromStdString(host::ReadAutorunEntry()) ==
                                    autorunProgram());

    g_autoFull = false;
    const QString autoFull = ReadConfig(kGroup, kAutoFullKey, iniPath);
    if (autoFull == QLatin1String("1")) {
        ui->checkBoxFullScreen->setChecked(true);
        g_autoFull = true;
    } else if (autoFull.isEmpty()) {
        WriteConfig(kGroup, kAutoFullKey, QStringLiteral("1"), iniPath);
        ui->checkBoxFullScreen->setChecked(true);
        g_autoFull = true;
    }
}

void MainWindow::InitTrayIcon()
{
    tray = new QSystemTrayIcon(this);
    trayMenu = new QMenu(this);
    quitAction = new QAction(QStringLiteral("退出"), this);
    showAction = new QAction(QStringLiteral("显示主窗体"), this);
    helpAction = new QAction(QStringLiteral("帮助"), this);
    aboutAction = new QAction(QStringLiteral("关于"), this);
    connect(quitAction, &QAction::triggered, this, &MainWindow::menu_quit_click);
    connect(showAction, &QAction::triggered, this, &MainWindow::menu_showMain_click);
    connect(helpAction, &QAction::triggered, this, &MainWindow::menu_help_click);
    connect(aboutAction, &QAction::triggered, this, &MainWindow::menu_about_click);

    trayMenu->addAction(aboutAction);
    trayMenu->addAction(helpAction);
    trayMenu->addAction(showAction);
    trayMenu->addSeparator();
    trayMenu->addAction(quitAction);

    tray->setContextMenu(trayMenu);
    tray->setIcon(QIcon(QStringLiteral(":/jw/tray")));
    tray->setVisible(true);
    tray->setToolTip(windowTitle());
    connect(tray, &QSystemTrayIcon::activated, this, &MainWindow::trayiconActivated);

    // Without a tray (GNOME without an extension, a bare X server) a hidden window
    // could only be found again through a second start: it stays on the screen,
    // whatever "runtray" says.
    if (!trayPresent()) {
        qDebug() << "no system tray: the main window stays shown";
        show();
    }
}

bool MainWindow::trayPresent()
{
    // Asked anew each time: a panel started after the program (at log-in) brings
    // a tray, which the icon then joins.
    const bool present = trayCheck();
    if (!present && !noTrayLine) {
        noTrayLine = new QLabel(QStringLiteral("没有系统托盘：关闭窗口只会最小化"), ui->tabWidget);
        noTrayLine->setObjectName(QStringLiteral("labNoTray"));
        ui->tabWidget->setCornerWidget(noTrayLine, Qt::TopRightCorner);
    }
    if (noTrayLine)
        noTrayLine->setVisible(!present);
    return present;
}

void MainWindow::InitJWRServer()
{
    const bool wide = host::GetSystemBits() == 64;
    const QString exe =
        CompanionProcess::ExecutableName(wide ? "JWRCServer_x64" : "JWRCServer_x86");
    const QString path = g_appDir + QDir::separator() + exe;
    host::FireWal::AddProgram(exe.toStdString(), path.toStdString(), [](const std::string& line) {
        qDebug().noquote() << QString::fromStdString(line);
    });
    qDebug() << "process path::" << path;

    connect(&rcServer, &CompanionProcess::stateChanged, this, &MainWindow::sl_reStartrcServer,
            Qt::UniqueConnection);
    if (!QFileInfo(path).isFile()) {
        qDebug() << "jwrcserver no exit";
        JWLOG::debug(path + QStringLiteral("file not exist."));
        return;
    }
    rcServer.setProgram(path);
    rcServer.start();
}

void MainWindow::sl_reStartrcServer(QProcess::ProcessState state)
{
    bool ownStop = false;
    if (portChangePending) {
        const int newPort = ui->lineEditPort->text().toInt();
        // Only a port that differs from the one served needs a re-bind; the
        // controllers are not cut off for nothing.
        if (newPort != JWShowService::GetInstance()->ListenPort()) {
            if (!rebindServer(newPort)) {
                // The field goes back first: a state change reported while the box
                // is open must not try the refused port again.
                ui->lineEditPort->setText(QString::number(g_port));
                // The companion stopped for this change must not stay down: it
                // comes back with the ports in force.
                if (state == QProcess::NotRunning)
                    rcServer.restart(true);
                ShowInformation(kTitle, QStringLiteral("重启服务失败。请重新修改端口号,再启动。"));
                return;
            }
            ownStop = true;
            portChangePending = false;
        }
        // Else a refused change stays pending: the next stop tries the field again.
    }
    if (state == QProcess::NotRunning) {
        rcServer.restart(ownStop);
        JWLOG::debug(QStringLiteral("reStart rcServer ,process state::") + QStringLiteral("0"));
        qDebug() << "reStart rcServer";
    }
    flashPrompt(QStringLiteral("重启服务成功。"));
}

void MainWindow::flashPrompt(const QString& text)
{
    ui->label_Prompt->setText(text);
    ui->label_Prompt->show();
    QTimer::singleShot(kPromptMs, this, &MainWindow::sl_ClearPrompt);
}

void MainWindow::setCodeRequired(bool on)
{
    pairing.setTcpCodeRequired(on);
    ui->checkBoxPairing->setChecked(on);
    ui->labPhoneAccess->setText(on ? QStringLiteral("手机连接：只允许输入配对码的手机")
                                   : QStringLiteral("手机连接：任何手机均可连接"));
}

void MainWindow::InitTableWidget()
{
    QTableWidget* table = ui->tableWidget;
    table->setColumnCount(3);
    table->setRowCount(0);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->horizontalHeader()->setStretchLastSection(true);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(table, &QWidget::customContextMenuRequested, this,
            &MainWindow::sl_customContextMenuRequested);

    tableMenu = new QMenu(table);
    disconnectAction = new QAction(QStringLiteral("断开连接"), this);
    tableMenu->addAction(disconnectAction);
    connect(disconnectAction, &QAction::triggered, this, &MainWindow::sl_disconnection);

    table->setHorizontalHeaderLabels(
        {QStringLiteral("ID"), QStringLiteral("IP"), QStringLiteral("用户名")});
}

void MainWindow::InitWebRemote()
{
    webPanel = new WebRemotePanel(iniPath, pairing, ui->tabWidget);
    ui->tabWidget->insertTab(1, webPanel, QStringLiteral("手机遥控"));
    auto* webPort = new QLabel(ui->tabConventional);
    webPort->setObjectName(QStringLiteral("labWebPort"));
    webPort->setGeometry(160, 70, 125, 21);
    webPort->show(); // the window may be on the screen already
    connect(webPanel, &WebRemotePanel::webPortChanged, webPort, [webPort](int port) {
        webPort->setText(port ? QStringLiteral("网页端口：%1").arg(port)
                              : QStringLiteral("网页遥控未启动"));
    });
    connect(ui->comboBoxLocalIp, &QComboBox::currentTextChanged, webPanel,
            &WebRemotePanel::setAddress);
    webPanel->setAddress(ui->comboBoxLocalIp->currentText());
    webPanel->start(g_port);
}

void MainWindow::Add_User(QString id, QString name, QString ip)
{
    QTableWidget* table = ui->tableWidget;
    // A controller that logged in again from another connection keeps its row.
    const QList<QTableWidgetItem*> known = table->findItems(id, Qt::MatchExactly);
    auto inIdColumn = [](const QTableWidgetItem* item) { return item->column() == 0; };
    const auto it = std::find_if(known.cbegin(), known.cend(), inIdColumn);
    int row = it == known.cend() ? -1 : (*it)->row();
    if (row < 0) {
        row = table->rowCount();
        table->insertRow(row);
    }
    table->setItem(row, 0, new QTableWidgetItem(id));
    table->setItem(row, 1, new QTableWidgetItem(ip));
    table->setItem(row, 2, new QTableWidgetItem(name));
}

void MainWindow::RemoveUser(QString id)
{
    QTableWidget* table = ui->tableWidget;
    for (int row = 0; row < table->rowCount(); ++row) {
        const QTableWidgetItem* item = table->item(row, 0);
        const QString rowId = item ? item->text() : QString();
        qDebug() << "mainwindow:remove current client id::" << rowId;
        if (rowId == id) {
            table->removeRow(row);
            break;
        }
    }
    // The display goes back to its recorded mode when the last controller has left.
    if (table->rowCount() == 0 && host::IsResolutionChanged())
        host::RestoreDisplayResolution();
}

void MainWindow::ChangeResolution(ulong pwidth, ulong pheight)
{
    host::SetDisplayResolution(pwidth, pheight);
}

void MainWindow::ReductionResolution()
{
    if (host::IsResolutionChanged())
        host::RestoreDisplayResolution();
}

void MainWindow::sl_ClearPrompt()
{
    ui->label_Prompt->hide();
    ui->label_Prompt->setText(QString());
}

void MainWindow::trayiconActivated(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
        showNormal();
        raise();
        activateWindow();
    }
}

void MainWindow::menu_about_click()
{
    about->show();
    about->raise();
    about->activateWindow();
}

void MainWindow::menu_quit_click()
{
    JWShowService* server = JWShowService::GetInstance();
    JWdataManage* dispatcher = JWdataManage::GetInstance();
    server->Stop();
    dispatcher->Stop();
    threadjoin::Joined(server->wait(kThreadStopWaitMs), server);
    threadjoin::Joined(dispatcher->wait(kThreadStopWaitMs), dispatcher);

    JWLOG::debug(QStringLiteral("---------Exit--------"));
    JWLOG::log_close();

    // Killing the companion now starts nothing.
    disconnect(&rcServer, nullptr, this, nullptr);
    rcServer.stopForGood();

    if (host::IsResolutionChanged())
        host::RestoreDisplayResolution();

    g_hideOnClose = false;
    close();
    QCoreApplication::exit(0);
}

void MainWindow::menu_help_click()
{
    QDesktopServices::openUrl(QUrl(g_helpUrl));
}

void MainWindow::menu_showMain_click()
{
    showNormal();
}

void MainWindow::sl_LocalIp(QStringList iplist)
{
    ui->comboBoxLocalIp->clear();
    ui->comboBoxLocalIp->addItems(iplist);
}

void MainWindow::sl_LocalIpChanged(QStringList iplist)
{
    qDebug() << "Local IP changed";
    sl_LocalIp(iplist);
}

bool MainWindow::rebindServer(int newPort)
{
    // The new port is bound first, while everyone stays connected: a port that
    // cannot be had changes nothing.
    JWShowService* server = JWShowService::GetInstance();
    if (!server->Init(newPort))
        return false;
    // Every connection closes; each close reaches the registry behind the packets
    // of its connection, so no controller outlives its connection.
    server->CloseAll();
    if (webPanel)
        webPanel->serviceMoved(g_port, newPort);
    g_rcPort = newPort + 1;
    g_port = newPort;
    WriteConfig(kGroup, kPortKey, QString::number(g_port), iniPath);
    return true;
}

void MainWindow::on_btnAplay_clicked()
{
    const QString portText = ui->lineEditPort->text();
    if (portText.isEmpty()) {
        AskQuestion(kTitle, QStringLiteral("端口号不能为空。请输入"));
        return;
    }
    if (portText != QString::number(g_port)) {
        if (AskQuestion(kTitle, QStringLiteral("是否确定更改通讯端口并自动重启服务程序?"))) {
            // The companion's stop brings the re-bind and its restart with the new
            // ports; without a running companion the re-bind happens here.
            portChangePending = true;
            if (rcServer.state() == QProcess::Running)
                rcServer.kill();
            else
                sl_reStartrcServer(QProcess::NotRunning);
        } else {
            ui->lineEditPort->setText(QString::number(g_port));
        }
    }

    if (!host::WriteAutorunEntry(
            (ui->checkBoxAutoRun->isChecked() ? autorunProgram() : QStringLiteral(" "))
                .toStdString()))
        JWLOG::error(QStringLiteral("autorun entry not written: ") +
                     QString::fromStdString(host::AutorunEntryLocation()));

    const bool autoFull = ui->checkBoxFullScreen->isChecked();
    WriteConfig(kGroup, kAutoFullKey, autoFull ? QStringLiteral("1") : QStringLiteral("0"),
                iniPath);
    g_autoFull = autoFull;
    WriteConfig(kGroup, kRunTrayKey,
                ui->checkBoxRunTrayIcon->isChecked() ? QStringLiteral("1") : QStringLiteral("0"),
                iniPath);
    // The next TCP login is checked; controllers already logged in stay.
    const bool codeRequired = ui->checkBoxPairing->isChecked();
    WriteConfig(kGroup, kPairingKey, codeRequired ? QStringLiteral("1") : QStringLiteral("0"),
                iniPath);
    setCodeRequired(codeRequired);

    if (g_debugMode)
        flashPrompt(QStringLiteral("应用成功"));
}

void MainWindow::on_lineEditPort_textChanged(QString arg1)
{
    if (!arg1.isEmpty())
        ui->labPort->setText(arg1);
}

void MainWindow::sl_customContextMenuRequested(QPoint)
{
    // The menu opens where the pointer is, which is also right for a keyboard
    // request; nothing opens without a selected controller.
    if (!tableMenu || ui->tableWidget->selectedItems().isEmpty())
        return;
    tableMenu->exec(QCursor::pos());
}

void MainWindow::sl_disconnection()
{
    const int row = ui->tableWidget->currentRow();
    const QTableWidgetItem* item = row >= 0 ? ui->tableWidget->item(row, 0) : nullptr;
    if (!item)
        return;
    JwUserManage::GetInstance()->CloseUserById(item->text());
}

void MainWindow::sl_disAllConnection()
{
    QStringList ids;
    for (int row = 0; row < ui->tableWidget->rowCount(); ++row) {
        if (const QTableWidgetItem* item = ui->tableWidget->item(row, 0))
            ids << item->text();
    }
    for (const QString& id : ids)
        JwUserManage::GetInstance()->CloseUserById(id);
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (g_hideOnClose) {
        event->ignore();
        if (trayPresent())
            hide();
        else
            showMinimized(); // hidden, it would be out of reach
        return;
    }
    event->accept();
}

// Key presses that reach the window itself go no further.
void MainWindow::keyPressEvent(QKeyEvent* event)
{
    event->accept();
}
