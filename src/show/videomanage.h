#pragma once
// The translucent overlay laid over a playing video: the play sign while paused,
// the elapsed and total time, the mute sign and a short-lived volume indicator.
// It lives on the GUI thread only.

#include "show/vlc/vlcenums.h"

#include <QDialog>
#include <QGraphicsScene>
#include <QList>
#include <QPointF>
#include <QRegion>
#include <QSize>
#include <QString>
#include <QTimer>

#include <memory>

class QGraphicsEllipseItem;
class QGraphicsPixmapItem;
class QGraphicsSceneMouseEvent;
class QGraphicsSimpleTextItem;
class QGraphicsView;
class QHBoxLayout;

class VideoManage : public QGraphicsScene
{
    Q_OBJECT
public:
    explicit VideoManage(QObject* parent = nullptr);
    ~VideoManage() override;

    void ShowPlayImage(int w, int h);
    void RemovePlayImage();
    void ShowTimeText(int w, int h);
    void RemoveTimeText();
    void SetMuteImage(QSize size);
    void RemoveMuteImage();

    bool playImageShown() const { return m_playImageShown; }
    bool timeTextShown() const { return m_timeTextShown; }
    bool muteImageShown() const { return m_muteImageShown; }
    bool volumeShown() const { return m_volumeShown; }
    QPointF playImagePos() const;
    QRectF timeTextRect() const; // where the time is drawn, outline included
    QPointF muteImagePos() const;
    QString timeText() const;
    QString totalTimeText() const { return m_totalTimeText; }
    const QList<QGraphicsEllipseItem*>& volumeItems() const { return m_volumeItems; }
    bool volumeTimerActive() const { return m_volumeTimer.isActive(); }
    Vlc::State playerState() const { return m_playerState; }

signals:
    void msg_playImageClicked();
    void msg_Pause();

public slots:
    void paintVolume(uint value, QSize size);
    void WindowSizeChanged(QSize size);
    void SetMediaTime(float currenttime);
    void SetMediaTotalTime(int totaltime);
    void sl_videState(Vlc::State statue);
    void sl_VolumeAnimationOver();

protected:
    void mouseReleaseEvent(QGraphicsSceneMouseEvent* event) override;

public:
    // The pixels the decorations cover, in scene coordinates: what the overlay
    // window must show and nothing more.
    QRegion drawnRegion();

private:
    void placeVolumeItem(int k, QSize size);
    void styleTimeText(QSize size);
    void placeTimeText(QSize size);

    Vlc::State m_playerState = Vlc::Idle;
    // The fixed items come and go from the scene, so the scene cannot own them.
    std::unique_ptr<QGraphicsPixmapItem> m_playImage;
    bool m_playImageShown = false;
    std::unique_ptr<QGraphicsSimpleTextItem> m_timeText;
    bool m_timeTextShown = false;
    std::unique_ptr<QGraphicsPixmapItem> m_muteImage;
    bool m_muteImageShown = false;
    // Bottom to top; they live in the scene while the indicator is up.
    QList<QGraphicsEllipseItem*> m_volumeItems;
    bool m_volumeShown = false;
    QSize m_playImageSize;
    QTimer m_volumeTimer;
    QString m_totalTimeText;
    QSize m_timeSize{1920, 1080}; // the size the time is laid out for
};

class videoShowStatDialog : public QDialog
{
    Q_OBJECT
public:
    explicit videoShowStatDialog(QWidget* parent = nullptr);
    ~videoShowStatDialog() override;

    void SetMuteImage(QSize size);
    void RemoveMuteImage();
    void paintVolume(uint value);
    VideoManage* scene() const { return m_scene.get(); }
    QGraphicsView* view() const { return m_view; }

signals:
    void msg_keyEscPress();

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QGraphicsView* m_view = nullptr;
    std::unique_ptr<VideoManage> m_scene;
    QHBoxLayout* m_layout = nullptr;
};
