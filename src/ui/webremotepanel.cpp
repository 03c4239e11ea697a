#include "ui/webremotepanel.h"

#include "base/appglobals.h"
#include "base/jwlog.h"
#include "protocol/protocol.h"
#include "server/pairingguard.h"
#include "ui/qrcodelabel.h"
#include "web/webremote.h"

#include <QDateTime>
#include <QGridLayout>
#include <QLabel>
#include <algorithm>
#include <limits>

namespace
{
const QString kGroup = QLatin1String(proto::kConfig);
const QString kWebPortKey = QStringLiteral("webport");
constexpr int kWebPortOffset = 2; // service + 1 is the companion's
} // namespace

WebRemotePanel::WebRemotePanel(const QString& iniPath, PairingGuard& guard, QWidget* parent)
    : QWidget(parent), iniPath_(iniPath), guard_(guard),
      remote_(std::make_unique<WebRemote>(guard)), qr_(new QrCodeLabel(this)),
      url_(new QLabel(this)), hint_(new QLabel(this)), pause_(new QLabel(this))
{
    qr_->setObjectName(QStringLiteral("qrWebRemote"));
    url_->setObjectName(QStringLiteral("labWebUrl"));
    url_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    url_->setWordWrap(false); // an address cut in two reads as two
    hint_->setWordWrap(true);
    hint_->setText(
        QStringLiteral("用手机相机扫描二维码，在浏览器中遥控本机（手机与本机在同一网络）。"));

    // The address under the code, across the whole width: it is typed in by
    // whoever has no camera at hand.
    auto* grid = new QGridLayout(this);
    grid->addWidget(qr_, 0, 0);
    grid->addWidget(hint_, 0, 1, Qt::AlignTop);
    grid->addWidget(url_, 1, 0, 1, 2);
    grid->addWidget(pause_, 2, 0, 1, 2);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(3, 1);

    pause_->setObjectName(QStringLiteral("labPairingPaused"));
    pause_->setWordWrap(true);
    pause_->setStyleSheet(QStringLiteral("color: #b00000;"));
    pause_->hide();
    // The guard tells of a pause from whichever thread saw the code (queued here);
    // its end is nobody's event, so a timer looks again then.
    pauseEnd_.setSingleShot(true);
    pauseEnd_.setTimerType(Qt::PreciseTimer);
    connect(&pauseEnd_, &QTimer::timeout, this, &WebRemotePanel::showPause);
    connect(&guard_, &PairingGuard::paused, this, &WebRemotePanel::showPause);
    showPause();
}

WebRemotePanel::~WebRemotePanel() = default;

quint16 WebRemotePanel::webPort() const
{
    return remote_->port();
}

QString WebRemotePanel::pageUrl() const
{
    if (address_.isEmpty() || !webPort() || g_auth.isEmpty())
        return QString();
    return QStringLiteral("http://%1:%2/#%3").arg(address_).arg(webPort()).arg(g_auth);
}

void WebRemotePanel::start(int servicePort)
{
    QString text = ReadConfig(kGroup, kWebPortKey, iniPath_);
    if (text.isEmpty()) {
        text = QString::number(servicePort + kWebPortOffset);
        WriteConfig(kGroup, kWebPortKey, text, iniPath_);
    }
    listenFrom(text.toInt());
}

void WebRemotePanel::serviceMoved(int oldPort, int newPort)
{
    if (ReadConfig(kGroup, kWebPortKey, iniPath_).toInt() != oldPort + kWebPortOffset)
        return;
    const int port = newPort + kWebPortOffset;
    WriteConfig(kGroup, kWebPortKey, QString::number(port), iniPath_);
    listenFrom(port);
}

bool WebRemotePanel::listenFrom(int port)
{
    // The fallbacks are not written back: the QR code carries whichever port is
    // served, and the configured one is tried again at the next start.
    bool ok = false;
    for (int attempt = 0; attempt < kPortAttempts && !ok; ++attempt) {
        const int candidate = port + attempt * kPortStep;
        ok = candidate > 0 && candidate <= 65535 && remote_->listen(quint16(candidate));
    }
    if (!ok) {
        remote_->close();
        JWLOG::error(QStringLiteral("web remote: no port from %1 could be had").arg(port));
    }
    refresh();
    emit webPortChanged(webPort());
    return ok;
}

void WebRemotePanel::setAddress(const QString& address)
{
    address_ = address;
    refresh();
}

void WebRemotePanel::refresh()
{
    const QString url = pageUrl();
    qr_->setText(url);
    if (!webPort())
        url_->setText(QStringLiteral("网页遥控未能启动：端口被占用。"));
    else if (address_.isEmpty())
        url_->setText(QStringLiteral("未找到本机网络地址。"));
    else
        url_->setText(url);
}

void WebRemotePanel::showPause()
{
    const qint64 left = guard_.pauseLeftMs();
    if (left <= 0) {
        pause_->hide();
        pause_->clear();
        return;
    }
    // The second it is over, not the one it ends in.
    QDateTime end = QDateTime::currentDateTime().addMSecs(left);
    end = end.addMSecs((1000 - end.time().msec()) % 1000);
    pause_->setText(QStringLiteral("配对已暂停，至 %1 恢复（一分钟内错误的配对码过多）")
                        .arg(end.toString(QStringLiteral("HH:mm:ss"))));
    pause_->show();
    pauseEnd_.start(int(std::min<qint64>(left, std::numeric_limits<int>::max())));
}
