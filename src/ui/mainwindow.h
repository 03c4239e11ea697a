#pragma once
// The settings and status window. Worker threads reach it only by emitting its
// msg_* signals, each connected to the slot of the same meaning (GUI thread).

#include "ui/companion.h"

#include <QMainWindow>
#include <QPoint>
#include <QProcess>
#include <QStringList>
#include <QSystemTrayIcon>
#include <functional>
#include <memory>

namespace Ui
{
class MainWindow;
}
class QAction;
class QLabel;
class QMenu;
class About;
class PairingGuard;
class WebRemotePanel;

class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    // The guard is start-up's and outlives the window; the window sets whether
    // TCP logins need the code, from the settings and their apply.
    explicit MainWindow(PairingGuard& pairing, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Start-up set-up, called by main in this order.
    void InitConnect();
    void InitSet();
    void InitTrayIcon();
    void InitJWRServer();
    void InitTableWidget();
    // The browser remote on its tab, beside the service port (after InitSet).
    void InitWebRemote();
    WebRemotePanel* webRemotePanel() const { return webPanel; }

    QString settingsPath() const { return iniPath; } // app.ini in the data folder
    CompanionProcess& companion() { return rcServer; }
    QSystemTrayIcon* trayIcon() const { return tray; }
    // Asked whether a tray can hold the icon; the platform's answer unless a test
    // decides.
    void setTrayCheck(std::function<bool()> check) { trayCheck = std::move(check); }

signals:
    void msg_addUser(QString id, QString name, QString ip);
    void msg_removeUser(QString id);
    void msg_ChangeResolution(ulong pwidth, ulong pheight);
    void msg_ReductionResolution();
    void msg_localIp(QStringList iplist);
    void msg_localIpChanged(QStringList iplist);

public slots:
    void sl_reStartrcServer(QProcess::ProcessState state);
    void Add_User(QString id, QString name, QString ip);
    void RemoveUser(QString id);
    void ChangeResolution(ulong pwidth, ulong pheight);
    void ReductionResolution();
    void sl_ClearPrompt();
    void trayiconActivated(QSystemTrayIcon::ActivationReason reason);
    void menu_quit_click();
    void menu_about_click();
    void menu_help_click();
    void menu_showMain_click();
    void sl_LocalIp(QStringList iplist);
    void sl_LocalIpChanged(QStringList iplist);
    void on_btnAplay_clicked();
    void on_lineEditPort_textChanged(QString arg1);
    void sl_customContextMenuRequested(QPoint pos);
    void sl_disconnection();
    void sl_disAllConnection();

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    // Moves the server to `newPort` and closes every connection; when the port
    // cannot be bound, nothing changes. True when the server now listens on newPort.
    bool rebindServer(int newPort);
    void flashPrompt(const QString& text);
    void setCodeRequired(bool on); // the guard, the check box and the line on the first tab
    // Whether there is a tray now; the line beside the tabs says when there is none.
    bool trayPresent();

    std::unique_ptr<Ui::MainWindow> ui;
    PairingGuard& pairing;
    QString iniPath;
    QMenu* tableMenu = nullptr;          // parent: the table
    QAction* disconnectAction = nullptr; // parent: this window
    std::unique_ptr<About> about;        // no parent: a window of its own
    QSystemTrayIcon* tray = nullptr;     // parent: this window, as are the menu and actions
    QMenu* trayMenu = nullptr;
    QAction* quitAction = nullptr;
    QAction* showAction = nullptr;
    QAction* helpAction = nullptr;
    QAction* aboutAction = nullptr;
    std::function<bool()> trayCheck = &QSystemTrayIcon::isSystemTrayAvailable;
    QLabel* noTrayLine = nullptr; // parent: the tab widget, in its corner
    CompanionProcess rcServer;
    bool portChangePending = false;     // a confirmed port change waits for its re-bind
    WebRemotePanel* webPanel = nullptr; // parent: the tab widget
};
