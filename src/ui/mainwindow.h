#pragma once
// The settings and status window: a view of the program. It shows what the
// application object tells it (host name, addresses, port, controllers, options)
// and says what the user asks for as signals; it runs nothing itself.

#include <QMainWindow>
#include <QPoint>
#include <QStringList>
#include <QSystemTrayIcon>
#include <QUrl>
#include <functional>
#include <memory>

namespace Ui
{
class MainWindow;
}
class QAction;
class QComboBox;
class QLabel;
class QMenu;
class About;
class WebRemotePanel;

class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    // The options of the settings tab.
    struct Options {
        bool autoRun = false;
        bool autoFull = false;
        bool runTray = false;
        bool pairing = false; // only phones that give the code may log in over TCP
    };

    // A screen the show may use: what the settings tab lists, and the value of the
    // setting that chooses it.
    struct ScreenChoice {
        QString label;
        QString value;
    };

    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // Set-up, called by start-up once.
    void InitTableWidget();
    void InitTrayIcon();

    void setHostName(const QString& name);
    // The port being served (the field and the first tab's label).
    void setPort(int port);
    int port() const { return servedPort; }
    int requestedPort() const; // what the port field says
    void setOptions(const Options& o);
    Options options() const;
    // The first tab's line on who may connect over TCP.
    void setPhoneAccess(bool codeRequired);
    void flashPrompt(const QString& text); // shown for half a second
    int controllerCount() const;
    WebRemotePanel* webRemotePanel() const { return webPanel; }
    // The help page the tray entry and the link open: on the web port served now
    // (empty while none is).
    QUrl helpUrl() const;
    QSystemTrayIcon* trayIcon() const { return tray; }
    // Asked whether a tray can hold the icon; the platform's answer unless a test
    // says otherwise.
    void setTrayCheck(std::function<bool()> check) { trayCheck = std::move(check); }
    // Closing hides the window until this is called (the quit).
    void closeForGood();
    // The settings tab's list of screens ("演示屏幕") and the one in use.
    void setScreens(const QList<ScreenChoice>& choices, int current);
    // One line under the tabs: in a Wayland session, what does not work and how
    // to make it work.
    void showWaylandNotice();

signals:
    // A different port was confirmed on the settings tab (see requestedPort).
    void portChangeRequested();
    // The settings tab's options were applied.
    void optionsApplied(MainWindow::Options options);
    void disconnectRequested(QString id);
    // Another show screen was picked (the setting's value): applied at once.
    void screenChosen(QString value);
    void quitRequested();

public slots:
    void Add_User(QString id, QString name, QString ip); // a controller's row, new or updated
    void RemoveUser(QString id);
    void sl_LocalIp(QStringList iplist);
    void sl_ClearPrompt();
    void trayiconActivated(QSystemTrayIcon::ActivationReason reason);
    void menu_quit_click();
    void menu_about_click();
    void menu_help_click();
    void menu_showMain_click();
    void on_btnAplay_clicked();
    void on_lineEditPort_textChanged(QString arg1);
    void sl_customContextMenuRequested(QPoint pos);
    void sl_disconnection();

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    // Whether there is a tray now; the line beside the tabs says when there is none.
    bool trayPresent();
    void initScreenList();

    std::unique_ptr<Ui::MainWindow> ui;
    int servedPort = 0;
    bool hideOnClose = true;
    QMenu* tableMenu = nullptr;          // parent: the table
    QAction* disconnectAction = nullptr; // parent: this window
    std::unique_ptr<About> about;        // no parent: a window of its own
    QSystemTrayIcon* tray = nullptr;     // parent: this window, as are the menu and actions
    QMenu* trayMenu = nullptr;
    QAction* quitAction = nullptr;
    QAction* showAction = nullptr;
    QAction* helpAction = nullptr;
    QAction* aboutAction = nullptr;
    WebRemotePanel* webPanel = nullptr; // parent: the tab widget
    std::function<bool()> trayCheck = &QSystemTrayIcon::isSystemTrayAvailable;
    QLabel* noTrayLine = nullptr;    // parent: the tab widget, in its corner
    QComboBox* screenList = nullptr; // parent: the settings tab
    QLabel* waylandLine = nullptr;   // parent: the central widget
};
