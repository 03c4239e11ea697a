#include "ui/mainwindow.h"
#include "base/jwdebug.h"
#include "ui_mainwindow.h"

#include "base/appinfo.h"
#include "ui/about.h"
#include "ui/messagebox.h"
#include "ui/webremotepanel.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QCursor>
#include <QDebug>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QHeaderView>
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
const QString kTitle = QStringLiteral("系统消息");
constexpr int kPromptMs = 500;
} // namespace

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent), ui(new Ui::MainWindow), about(new About)
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

    // The help is the program's own page on the web port, opened in the browser.
    ui->label_url->setText(QStringLiteral("<a href=\"") + QLatin1String(jw::kHelpPath) +
                           QStringLiteral("\">") + tr("点击快速指南,获取主控端APP") +
                           QStringLiteral("</a>."));
    ui->label_url->setOpenExternalLinks(false);
    connect(ui->label_url, &QLabel::linkActivated, this, &MainWindow::menu_help_click);

    // The browser remote's tab, and its port on the first tab.
    webPanel = new WebRemotePanel(ui->tabWidget);
    ui->tabWidget->insertTab(1, webPanel, tr("手机遥控"));
    auto* webPort = new QLabel(ui->tabConventional);
    webPort->setObjectName(QStringLiteral("labWebPort"));
    webPort->setGeometry(160, 70, 125, 21);
    connect(webPanel, &WebRemotePanel::webPortChanged, webPort, [webPort](int port) {
        webPort->setText(port ? tr("网页端口：%1").arg(port) : tr("网页遥控未启动"));
    });
    connect(ui->comboBoxLocalIp, &QComboBox::currentTextChanged, webPanel,
            &WebRemotePanel::setAddress);
    initScreenList();
    activateWindow();
}

void MainWindow::initScreenList()
{
    auto* label = new QLabel(tr("演示屏幕："), ui->tabSet);
    label->setGeometry(50, 212, 100, 21);
    screenList = new QComboBox(ui->tabSet);
    screenList->setObjectName(QStringLiteral("comboBoxScreen"));
    screenList->setGeometry(150, 210, 260, 22);
    // Only the user's pick is a change: a list refreshed for a screen plugged in
    // chooses nothing.
    connect(screenList, QOverload<int>::of(&QComboBox::activated), this,
            [this](int index) { emit screenChosen(screenList->itemData(index).toString()); });
}

void MainWindow::setScreens(const QList<ScreenChoice>& choices, int current)
{
    screenList->clear();
    for (const ScreenChoice& c : choices)
        screenList->addItem(c.label, c.value);
    screenList->setCurrentIndex(current);
}

void MainWindow::showWaylandNotice()
{
    if (waylandLine)
        return;
    waylandLine = new QLabel(tr("Wayland 会话：指针、翻页键和分辨率无效，登录时选择 X11 会话即可"),
                             ui->centralWidget);
    waylandLine->setObjectName(QStringLiteral("labWayland"));
    waylandLine->setStyleSheet(QStringLiteral("color:#b00000"));
    ui->gridLayout->addWidget(waylandLine, 1, 0);
    // The window keeps its size: the table makes room for the line.
    QTableWidget* table = ui->tableWidget;
    table->resize(table->width(), table->height() - 24);
}

MainWindow::~MainWindow() = default;

void MainWindow::setHostName(const QString& name)
{
    ui->labComputerName->setText(name);
}

void MainWindow::setPort(int port)
{
    servedPort = port;
    // Through the field's change notification the first tab's label shows it too.
    ui->lineEditPort->setText(QString::number(port));
}

void MainWindow::setOptions(const Options& o)
{
    ui->checkBoxAutoRun->setChecked(o.autoRun);
    ui->checkBoxFullScreen->setChecked(o.autoFull);
    ui->checkBoxRunTrayIcon->setChecked(o.runTray);
    ui->checkBoxPairing->setChecked(o.pairing);
    setPhoneAccess(o.pairing);
}

MainWindow::Options MainWindow::options() const
{
    Options o;
    o.autoRun = ui->checkBoxAutoRun->isChecked();
    o.autoFull = ui->checkBoxFullScreen->isChecked();
    o.runTray = ui->checkBoxRunTrayIcon->isChecked();
    o.pairing = ui->checkBoxPairing->isChecked();
    return o;
}

void MainWindow::setPhoneAccess(bool codeRequired)
{
    ui->labPhoneAccess->setText(codeRequired ? tr("手机连接：只允许输入配对码的手机")
                                             : tr("手机连接：任何手机均可连接"));
}

void MainWindow::flashPrompt(const QString& text)
{
    ui->label_Prompt->setText(text);
    ui->label_Prompt->show();
    QTimer::singleShot(kPromptMs, this, &MainWindow::sl_ClearPrompt);
}

int MainWindow::requestedPort() const
{
    return ui->lineEditPort->text().toInt();
}

int MainWindow::controllerCount() const
{
    return ui->tableWidget->rowCount();
}

void MainWindow::closeForGood()
{
    hideOnClose = false;
    close();
}

void MainWindow::InitTrayIcon()
{
    tray = new QSystemTrayIcon(this);
    trayMenu = new QMenu(this);
    quitAction = new QAction(tr("退出"), this);
    showAction = new QAction(tr("显示主窗体"), this);
    helpAction = new QAction(tr("帮助"), this);
    aboutAction = new QAction(tr("关于"), this);
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
        qCDebug(lcJwShow) << "no system tray: the main window stays shown";
        show();
    }
}

bool MainWindow::trayPresent()
{
    // Asked anew each time: a panel started after the program (at log-in) brings
    // a tray, which the icon then joins.
    const bool present = trayCheck();
    if (!present && !noTrayLine) {
        noTrayLine = new QLabel(tr("没有系统托盘：关闭窗口只会最小化"), ui->tabWidget);
        noTrayLine->setObjectName(QStringLiteral("labNoTray"));
        ui->tabWidget->setCornerWidget(noTrayLine, Qt::TopRightCorner);
    }
    if (noTrayLine)
        noTrayLine->setVisible(!present);
    return present;
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
    disconnectAction = new QAction(tr("断开连接"), this);
    tableMenu->addAction(disconnectAction);
    connect(disconnectAction, &QAction::triggered, this, &MainWindow::sl_disconnection);

    table->setHorizontalHeaderLabels({QStringLiteral("ID"), QStringLiteral("IP"), tr("用户名")});
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
        qCDebug(lcJwShow) << "mainwindow:remove current client id::" << rowId;
        if (rowId == id) {
            table->removeRow(row);
            break;
        }
    }
}

void MainWindow::sl_LocalIp(QStringList iplist)
{
    ui->comboBoxLocalIp->clear();
    ui->comboBoxLocalIp->addItems(iplist);
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
    emit quitRequested();
}

void MainWindow::menu_help_click()
{
    const int port = webPanel->webPort();
    if (!port) {
        ShowMessage(kTitle, tr("帮助页面由网页遥控提供，但网页遥控未能启动（端口被占用）。"));
        return;
    }
    QDesktopServices::openUrl(helpUrl());
}

QUrl MainWindow::helpUrl() const
{
    const int port = webPanel->webPort();
    return port ? QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(jw::kHelpPath))
                : QUrl();
}

void MainWindow::menu_showMain_click()
{
    showNormal();
}

void MainWindow::on_btnAplay_clicked()
{
    const QString portText = ui->lineEditPort->text();
    if (portText.isEmpty()) {
        AskQuestion(kTitle, tr("端口号不能为空。请输入"));
        return;
    }
    if (portText != QString::number(servedPort)) {
        if (AskQuestion(kTitle, tr("是否确定更改通讯端口并自动重启服务程序?")))
            emit portChangeRequested();
        else
            ui->lineEditPort->setText(QString::number(servedPort));
    }
    emit optionsApplied(options());
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
    if (item)
        emit disconnectRequested(item->text());
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (hideOnClose) {
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
