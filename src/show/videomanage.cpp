#include "show/videomanage.h"
#include "base/jwdebug.h"

#include <QBitmap>
#include <QBrush>
#include <QDebug>
#include <QGraphicsEllipseItem>
#include <QGraphicsPixmapItem>
#include <QGraphicsSceneMouseEvent>
#include <QGraphicsSimpleTextItem>
#include <QGraphicsView>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QPixmap>

#include <algorithm>
#include <cmath>

namespace
{
constexpr int kVolumeSteps = 10;
constexpr int kVolumeShownMs = 2000;
const QColor kVolumeLit(30, 144, 255);
const QColor kTimeFill(250, 250, 250);
const QColor kTimeOutline(16, 16, 16);
const QColor kTimePlate(0, 0, 0, 150);

// The time on a dark plate of its own: the plate keeps the overlay's shape a
// steady rectangle while the digits change (a shape following the glyphs would
// uncover the old digits' pixels every second, left as they were by a paused
// video), and it darkens the picture behind translucent glyphs' edges.
class TimeText : public QGraphicsSimpleTextItem
{
public:
    qreal pad() const { return pen().widthF() + 4; }
    QRectF boundingRect() const override
    {
        return QGraphicsSimpleTextItem::boundingRect().adjusted(-pad(), -pad(), pad(), pad());
    }
    QPainterPath shape() const override
    {
        QPainterPath path;
        path.addRect(boundingRect());
        return path;
    }
    void paint(QPainter* painter, const QStyleOptionGraphicsItem* option, QWidget* widget) override
    {
        if (!text().isEmpty()) {
            painter->setPen(Qt::NoPen);
            painter->setBrush(kTimePlate);
            painter->drawRoundedRect(boundingRect(), pad(), pad());
        }
        QGraphicsSimpleTextItem::paint(painter, option, widget);
    }
};

// Hours wrap at 24: the text reads as a time of day, as players' clocks do.
QString clockText(qint64 ms)
{
    const qint64 secs = (ms % (24LL * 3600 * 1000)) / 1000;
    return QString::asprintf("%02d:%02d:%02d", int(secs / 3600), int(secs / 60 % 60),
                             int(secs % 60));
}

QPixmap sizedPixmap(const QString& path, int side)
{
    const QPixmap p(path);
    if (p.isNull()) {
        qCDebug(lcJwShow) << "overlay picture is missing:" << path;
        return p;
    }
    return p.size() == QSize(side, side)
               ? p
               : p.scaled(side, side, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}
} // namespace

VideoManage::VideoManage(QObject* parent)
    : QGraphicsScene(parent),
      m_playImage(std::make_unique<QGraphicsPixmapItem>(sizedPixmap(":/jw/bofang", 128))),
      m_timeText(std::make_unique<TimeText>()),
      m_muteImage(std::make_unique<QGraphicsPixmapItem>(sizedPixmap(":/jw/jinyin", 48)))
{
    m_playImageSize = m_playImage->pixmap().size();
    // Light glyphs in a dark outline read on any picture, light or dark.
    m_timeText->setBrush(QBrush(kTimeFill, Qt::SolidPattern));
    styleTimeText(QSize(1920, 1080));

    m_volumeTimer.setInterval(kVolumeShownMs);
    m_volumeTimer.setSingleShot(false);
    connect(&m_volumeTimer, &QTimer::timeout, this, &VideoManage::sl_VolumeAnimationOver);
}

VideoManage::~VideoManage()
{
    sl_VolumeAnimationOver();
    // The fixed items are ours, not the scene's: taken out before our members delete them.
    for (QGraphicsItem* item : std::initializer_list<QGraphicsItem*>{
             m_playImage.get(), m_timeText.get(), m_muteImage.get()})
        if (item->scene() == this)
            removeItem(item);
}

void VideoManage::ShowPlayImage(int w, int h)
{
    if (m_playImageShown)
        return;
    m_playImage->setPos(
        QPointF((w - m_playImageSize.width()) / 2, (h - m_playImageSize.height()) / 2));
    addItem(m_playImage.get());
    m_playImageShown = true;
}

void VideoManage::RemovePlayImage()
{
    if (!m_playImageShown)
        return;
    removeItem(m_playImage.get());
    m_playImageShown = false;
}

void VideoManage::ShowTimeText(int w, int h)
{
    if (m_timeTextShown)
        return;
    m_timeSize = QSize(w, h);
    styleTimeText(QSize(w, h));
    placeTimeText(QSize(w, h));
    addItem(m_timeText.get());
    m_timeTextShown = true;
}

// The time grows with the screen (a 25th of its height, some 30 pixels of digit
// at 1080 lines) and is outlined in proportion.
void VideoManage::styleTimeText(QSize size)
{
    QFont font = m_timeText->font();
    font.setPixelSize(std::max(16, size.height() / 25));
    font.setBold(true);
    m_timeText->setFont(font);
    QPen outline(kTimeOutline, std::max(2.0, font.pixelSize() / 12.0));
    outline.setJoinStyle(Qt::RoundJoin);
    m_timeText->setPen(outline);
}

// In the lower right corner, wholly inside: placed by its right edge, which
// stays where it is however wide the text grows.
void VideoManage::placeTimeText(QSize size)
{
    const QRectF r = m_timeText->boundingRect();
    const qreal margin = std::max(8, size.height() / 60);
    m_timeText->setPos(QPointF(std::floor(size.width() - margin - r.width()),
                               std::floor(size.height() - margin - r.height())));
}

void VideoManage::RemoveTimeText()
{
    if (!m_timeTextShown)
        return;
    removeItem(m_timeText.get());
    m_timeTextShown = false;
}

void VideoManage::SetMuteImage(QSize size)
{
    if (m_muteImageShown)
        return;
    qCDebug(lcJwShow) << "set mute image";
    m_muteImage->setPos(QPointF(size.width() - 80, 10));
    addItem(m_muteImage.get());
    m_muteImageShown = true;
}

void VideoManage::RemoveMuteImage()
{
    if (!m_muteImageShown)
        return;
    qCDebug(lcJwShow) << "remove mute image";
    removeItem(m_muteImage.get());
    m_muteImageShown = false;
}

QPointF VideoManage::playImagePos() const
{
    return m_playImage->pos();
}
QRectF VideoManage::timeTextRect() const
{
    return m_timeText->sceneBoundingRect();
}
QPointF VideoManage::muteImagePos() const
{
    return m_muteImage->pos();
}
QString VideoManage::timeText() const
{
    return m_timeText->text();
}

// The indicator grows with the window: one step is a hundredth of its height.
void VideoManage::placeVolumeItem(int k, QSize size)
{
    const int u = size.height() / 100;
    QGraphicsEllipseItem* item = m_volumeItems[k];
    item->setRect(QRectF(-25, -25, (k + 1) * u, u + 5));
    item->setPos(QPointF(size.width() - 5 * u - ((k + 1) * u) / 2, size.height() - k * (u + 10)));
}

void VideoManage::paintVolume(uint value, QSize size)
{
    const bool create = !m_volumeShown;
    for (int k = 0; k < kVolumeSteps; ++k) {
        const QBrush brush(uint(10 * k) < value ? kVolumeLit : QColor(Qt::gray), Qt::SolidPattern);
        if (create) {
            m_volumeItems.append(new QGraphicsEllipseItem);
            placeVolumeItem(k, size);
            addItem(m_volumeItems[k]);
        }
        m_volumeItems[k]->setBrush(brush);
    }
    m_volumeShown = true;
    // Each change keeps the indicator up for another full period.
    m_volumeTimer.start(kVolumeShownMs);
}

void VideoManage::sl_VolumeAnimationOver()
{
    // Nothing is left to time out; a running timer would only wake the program up.
    m_volumeTimer.stop();
    for (QGraphicsEllipseItem* item : qAsConst(m_volumeItems)) {
        removeItem(item);
        delete item;
    }
    m_volumeItems.clear();
    m_volumeShown = false;
}

void VideoManage::WindowSizeChanged(QSize size)
{
    if (m_volumeShown) {
        for (int k = 0; k < m_volumeItems.size(); ++k)
            placeVolumeItem(k, size);
    }
    const int w = size.width();
    const int h = size.height();
    m_muteImage->setPos(QPointF(w - 80, 10));
    m_playImage->setPos(
        QPointF((w - m_playImageSize.width()) / 2, (h - m_playImageSize.height()) / 2));
    m_timeSize = size;
    styleTimeText(size);
    placeTimeText(size);
}

void VideoManage::SetMediaTime(float currenttime)
{
    // Also false for NaN. The player's clock is not trusted to be sane: anything
    // beyond what a qint64 holds would make the conversion undefined.
    if (!(currenttime > 0.0f))
        return;
    const double ms = std::min(double(currenttime), 1e15);
    m_timeText->setText(clockText(qint64(ms)) + m_totalTimeText);
    placeTimeText(m_timeSize);
}

void VideoManage::SetMediaTotalTime(int totaltime)
{
    if (totaltime <= 0)
        return;
    m_totalTimeText = QLatin1Char('/') + clockText(totaltime);
}

QRegion VideoManage::drawnRegion()
{
    QRegion drawn;
    for (const QGraphicsItem* item : items()) {
        const QRect area = item->sceneBoundingRect().toAlignedRect();
        if (area.isEmpty())
            continue;
        // Only the pixels an item covers: the transparent corners of a sign or the
        // room between letters are no part of it.
        QImage image(area.size(), QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        {
            QPainter painter(&image);
            render(&painter, QRectF(image.rect()), QRectF(area));
        }
        drawn += QRegion(QBitmap::fromImage(image.createAlphaMask())).translated(area.topLeft());
    }
    return drawn;
}

void VideoManage::sl_videState(Vlc::State statue)
{
    m_playerState = statue;
}

void VideoManage::mouseReleaseEvent(QGraphicsSceneMouseEvent* event)
{
    // Deliberately not passed on: the overlay's items take no clicks of their own.
    event->accept();
    if (event->button() != Qt::LeftButton)
        return;
    if (m_playImageShown)
        emit msg_playImageClicked();
    else if (m_playerState == Vlc::Playing)
        emit msg_Pause();
}

videoShowStatDialog::videoShowStatDialog(QWidget* parent) : QDialog(parent)
{
    setWindowFlags(Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);

    m_view = new QGraphicsView;
    m_view->setStyleSheet("background:transparent");
    m_view->setAutoFillBackground(false);
    m_view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_layout = new QHBoxLayout(this);
    m_layout->setContentsMargins(0, 0, 0, 0);
    m_layout->addWidget(m_view);
    m_scene = std::make_unique<VideoManage>();
    m_view->setScene(m_scene.get());
    m_scene->setSceneRect(0, 0, rect().width(), rect().height());

    setWindowFlags(windowFlags() | Qt::WindowStaysOnTopHint);
    // Without a window manager's help the overlay must stay above the full-screen video.
    setWindowFlags(windowFlags() | Qt::Tool | Qt::X11BypassWindowManagerHint);
}

videoShowStatDialog::~videoShowStatDialog()
{
    // The view outlives our members (it is a child widget); it must not see a dead scene.
    m_view->setScene(nullptr);
}

void videoShowStatDialog::SetMuteImage(QSize size)
{
    m_scene->SetMuteImage(size);
}

void videoShowStatDialog::RemoveMuteImage()
{
    m_scene->RemoveMuteImage();
}

void videoShowStatDialog::paintVolume(uint value)
{
    m_scene->paintVolume(value, size());
}

void videoShowStatDialog::paintEvent(QPaintEvent*)
{
    // Nearly invisible, yet not fully transparent: a composited desktop would pass
    // clicks on fully transparent pixels through to the window below.
    QPainter painter(this);
    painter.fillRect(rect(), QColor(0, 0, 0, 1));
}

void videoShowStatDialog::keyPressEvent(QKeyEvent* event)
{
    // QDialog would close on Esc; here Esc belongs to the show window.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        emit msg_keyEscPress();
        return;
    }
    event->ignore();
}

void videoShowStatDialog::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    m_view->resize(size());
    const QRectF area(0, 0, rect().width(), rect().height());
    m_view->setSceneRect(area);
    m_scene->setSceneRect(area);
    m_scene->WindowSizeChanged(size());
}
