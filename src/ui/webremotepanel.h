#pragma once
// The main window's page for the browser remote: the QR code a phone's camera
// opens the page with, the pairing code in large digits for whoever types it, the
// page's address, and when pairing is paused. A view: the application tells it
// the code, the port served and the address.

#include <QTimer>
#include <QWidget>

class QLabel;
class QrCodeLabel;

class WebRemotePanel : public QWidget
{
    Q_OBJECT
public:
    explicit WebRemotePanel(QWidget* parent = nullptr);

    void setCode(const QString& code);
    void setWebPort(int port); // 0: not serving
    // The address phones reach this computer on (the main window's choice).
    void setAddress(const QString& address);
    // Pairing is paused for this long (0: it is not); the line goes when it is over.
    void showPause(qint64 leftMs);

    int webPort() const { return port_; }
    QString pageUrl() const; // "http://<address>:<port>/#<code>"; empty without all three
    QrCodeLabel* qrCode() const { return qr_; }

signals:
    void webPortChanged(int port); // 0: not serving

private:
    void refresh();

    QString code_;
    QString address_;
    int port_ = 0;
    QrCodeLabel* qr_;
    QLabel* url_;
    QLabel* hint_;
    QLabel* codeLabel_;
    QLabel* codeDigits_;
    QLabel* pause_;
    QTimer pauseEnd_;
};
