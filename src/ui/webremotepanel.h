#pragma once
// The main window's page for the browser remote: the QR code a phone's camera
// opens the page with, the page's address, and the web port. It owns the remote's
// server and moves it with the service port, and says when pairing is paused.

#include <QTimer>
#include <QWidget>
#include <memory>

class PairingGuard;
class QLabel;
class QrCodeLabel;
class WebRemote;

class WebRemotePanel : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kPortAttempts = 5; // like the service port: p, p+11, ...
    static constexpr int kPortStep = 11;

    // The guard is start-up's and outlives the panel.
    WebRemotePanel(const QString& iniPath, PairingGuard& guard, QWidget* parent = nullptr);
    ~WebRemotePanel() override;

    // Serves beside the service on servicePort: on [config] webport (written as
    // servicePort + 2 when missing), else on the first free of its fallbacks.
    void start(int servicePort);
    // The service moved: a web port that followed it (the old port + 2) follows
    // again; one set to anything else stays.
    void serviceMoved(int oldPort, int newPort);
    // The address phones reach this computer on (the main window's choice).
    void setAddress(const QString& address);

    quint16 webPort() const; // 0 while nothing is served
    QString pageUrl() const; // "http://<address>:<port>/#<code>"; empty without both
    QrCodeLabel* qrCode() const { return qr_; }

signals:
    void webPortChanged(int port); // 0: not serving

private:
    bool listenFrom(int port);
    void refresh();
    void showPause(); // the guard's pause, until it is over

    QString iniPath_;
    PairingGuard& guard_;
    std::unique_ptr<WebRemote> remote_;
    QString address_;
    QrCodeLabel* qr_;
    QLabel* url_;
    QLabel* hint_;
    QLabel* pause_;
    QTimer pauseEnd_;
};
