#include "ui/webremotepanel.h"

#include "ui/qrcodelabel.h"

#include <QDateTime>
#include <QGridLayout>
#include <QLabel>
#include <QVBoxLayout>
#include <algorithm>
#include <limits>

WebRemotePanel::WebRemotePanel(QWidget* parent)
    : QWidget(parent), qr_(new QrCodeLabel(this)), url_(new QLabel(this)), hint_(new QLabel(this)),
      codeLabel_(new QLabel(tr("配对码"), this)), codeDigits_(new QLabel(this)),
      pause_(new QLabel(this))
{
    qr_->setObjectName(QStringLiteral("qrWebRemote"));
    url_->setObjectName(QStringLiteral("labWebUrl"));
    url_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    url_->setWordWrap(false); // an address cut in two reads as two
    hint_->setWordWrap(true);
    hint_->setText(tr("用手机相机扫描二维码，在浏览器中遥控本机（手机与本机在同一网络）。"));

    // The code in digits large enough to be read across a classroom: a phone
    // that opened the address without it asks for them.
    codeDigits_->setObjectName(QStringLiteral("labPairingCode"));
    codeDigits_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QFont digits = codeDigits_->font();
    digits.setPointSize(28);
    digits.setBold(true);
    digits.setLetterSpacing(QFont::AbsoluteSpacing, 4);
    digits.setStyleHint(QFont::Monospace);
    codeDigits_->setFont(digits);
    codeLabel_->setBuddy(codeDigits_);
    auto* side = new QVBoxLayout;
    side->addWidget(hint_);
    side->addSpacing(8);
    side->addWidget(codeLabel_);
    side->addWidget(codeDigits_);
    side->addStretch(1);

    // The address under the code, across the whole width: it is typed in by
    // whoever has no camera at hand.
    auto* grid = new QGridLayout(this);
    grid->addWidget(qr_, 0, 0);
    grid->addLayout(side, 0, 1);
    grid->addWidget(url_, 1, 0, 1, 2);
    grid->addWidget(pause_, 2, 0, 1, 2);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(3, 1);

    pause_->setObjectName(QStringLiteral("labPairingPaused"));
    pause_->setWordWrap(true);
    pause_->setStyleSheet(QStringLiteral("color: #b00000;"));
    pause_->hide();
    // The end of a pause is nobody's event: a timer takes the line away then.
    pauseEnd_.setSingleShot(true);
    pauseEnd_.setTimerType(Qt::PreciseTimer);
    connect(&pauseEnd_, &QTimer::timeout, this, [this] { showPause(0); });
    refresh();
}

QString WebRemotePanel::pageUrl() const
{
    if (address_.isEmpty() || !port_ || code_.isEmpty())
        return QString();
    return QStringLiteral("http://%1:%2/#%3").arg(address_).arg(port_).arg(code_);
}

void WebRemotePanel::setCode(const QString& code)
{
    code_ = code;
    refresh();
}

void WebRemotePanel::setWebPort(int port)
{
    port_ = port;
    refresh();
    emit webPortChanged(port_);
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
    codeDigits_->setText(code_);
    if (!port_)
        url_->setText(tr("网页遥控未能启动：端口被占用。"));
    else if (address_.isEmpty())
        url_->setText(tr("未找到本机网络地址。"));
    else
        url_->setText(url);
}

void WebRemotePanel::showPause(qint64 left)
{
    if (left <= 0) {
        pause_->hide();
        pause_->clear();
        return;
    }
    // The second it is over, not the one it ends in.
    QDateTime end = QDateTime::currentDateTime().addMSecs(left);
    end = end.addMSecs((1000 - end.time().msec()) % 1000);
    pause_->setText(tr("配对已暂停，至 %1 恢复（一分钟内错误的配对码过多）")
                        .arg(end.toString(QStringLiteral("HH:mm:ss"))));
    pause_->show();
    pauseEnd_.start(int(std::min<qint64>(left, std::numeric_limits<int>::max())));
}
