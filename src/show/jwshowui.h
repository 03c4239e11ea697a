#pragma once
// The presentation window: pictures and videos full screen, with the video's
// overlay floating over it. Worker threads reach it only by emitting its msg_*
// signals, each connected to the slot of the same meaning on the GUI thread.

#include "base/picturedecode.h"
#include "protocol/commands.h"
#include "protocol/jwmess.h"
#include "show/vlc/vlcenums.h"

#include <QImage>
#include <QList>
#include <QMutex>
#include <QNetworkAccessManager>
#include <QPixmap>
#include <QPointer>
#include <QRect>
#include <QTimer>
#include <QWidget>
#include <memory>
#include <optional>

class QGraphicsScene;
class QGraphicsView;
class QNetworkReply;
class QStackedLayout;
class VlcInstance;
class VlcMedia;
class VlcMediaPlayer;
class VlcWidgetVideo;
class ShowImageRect;
class videoShowStatDialog;

class JWShowUi : public QWidget
{
    Q_OBJECT
public:
    explicit JWShowUi(QWidget* parent = nullptr);
    ~JWShowUi() override;

    void initShowUi();
    void showDefaultImage();
    // What the dispatcher asks of the window.
    void apply(const cmd::ShowCommand& c);
    // Where the shown picture lies is written here for the pointer and the boards.
    void setPictureRect(ShowImageRect* rect) { m_pictureRect = rect; }
    // Whether a show goes full screen by itself.
    void setAutoFull(bool on) { m_autoFull = on; }
    bool autoFull() const { return m_autoFull; }
    void requestNextImage();

    // Limits on what a controller's picture address may cost us.
    static constexpr qint64 kMaxPictureBytes = ::kMaxPictureBytes;
    static constexpr qint64 kMaxPicturePixels = ::kMaxPicturePixels;
    static constexpr int kDefaultTransferTimeoutMs = 30000;
    static constexpr int kDefaultDownloadDeadlineMs = 120000;
    // Waiting picture requests kept at most; beyond it the oldest waiting one goes
    // (the newest picture is the one the presenter wants to see).
    static constexpr int kMaxPendingPictures = 64;

    // A download that stalls this long is given up (tests shorten it).
    void setTransferTimeout(int ms) { m_transferTimeoutMs = ms; }
    // A download still running this long after it started is given up, however
    // steadily it trickles: the queue behind it must not wait for ever.
    void setDownloadDeadline(int ms) { m_downloadDeadlineMs = ms; }
    int pendingPictures() const;
    bool isFetching() const;
    bool isPictureMode() const { return m_pictureMode; }
    QPixmap sourcePicture() const { return m_sourcePicture; }
    QGraphicsView* pictureView() const { return m_pictureView; }
    bool isVideoMode() const { return m_videoMode; }
    videoShowStatDialog* overlay() const { return m_overlay.get(); }
    VlcMediaPlayer* player() const { return m_player.get(); }
    qint64 stepMs() const { return m_step; }

signals:
    void msg_image(QImage image);
    void msg_show();
    void msg_close();
    void msg_hide();
    void msg_addJwMess(SOCKET sock, QString url);
    void msg_keyEscPress();
    void msg_setVideoFile(QString url, SOCKET sock, QString from);
    void msg_play();
    void msg_stop();
    void msg_pause();
    void msg_SetFast(qint64 time);
    void msg_Setvolume(int value);
    void msg_setMute();
    void msg_releaseMute();
    void msg_setPosition(qint64 time);
    // The video's state, for the controller that started it.
    void videoReport(cmd::VideoReport report);
    // A new picture is on the screen (whiteboards drawn over it follow it).
    void pictureShown();
    // What the window puts on the screen changed otherwise: shown, hidden, moved,
    // resized, raised by its activation, or a video in place of the picture.
    void surfaceChanged();

public slots:
    void showui();
    void SetImage(QImage image);
    void addDataToQueue(SOCKET sock, QString url);
    void httpfinished(QNetworkReply* reply);
    void SetVideoFile(QString url, SOCKET sock, QString from);
    void playvideo();
    void Pausevideo();
    void Stopvideo();

private slots:
    void sl_keyEscPress();
    void sl_windowClose();
    void sl_windowhide();
    void setFast(qint64 time);
    void Setvolume(int value);
    void SetMute();
    void ReleaseMute();
    void SetVideoCurrentPosition(qint64 time);
    void durationChanged(int duration);
    void _positionChanged(float position);
    void sl_currentState();
    void timerout();
    void media_volumeChanged(int volume);
    void media_MuteChange(bool muted);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void goFullScreen();
    void goNormal();
    void cancelShow();
    void layOutPicture();
    void updateImageRect(int pw, int ph);
    void refitToWindow(bool sizeChanged);
    void guardDownload(QNetworkReply* reply);
    void dropPictures();
    void initVideo();
    void openMedia(const QString& address);
    void showVideoPage();
    void showOverlay();
    void placeOverlay();
    void maskOverlay();
    void report(cmd::VideoInfo what, const QString& value);

    QList<JwMess> m_pictureQueue;
    bool m_fetchBusy = false;
    // The download whose picture is wanted; any other reply that finishes was
    // given up and brings nothing to the screen.
    QNetworkReply* m_download = nullptr;
    QPixmap m_sourcePicture;
    bool m_pictureMode = false;
    bool m_videoMode = false;
    QGraphicsScene* m_scene = nullptr;
    QNetworkAccessManager m_network;
    int m_transferTimeoutMs = kDefaultTransferTimeoutMs;
    int m_downloadDeadlineMs = kDefaultDownloadDeadlineMs;
    QMutex m_pictureLock;
    mutable QMutex m_queueLock;
    QGraphicsView* m_pictureView = nullptr;
    QStackedLayout* m_stack = nullptr;
    // Where the window goes back to from full screen: no window manager keeps
    // that for us, so it is remembered here.
    QRect m_normalGeometry;
    // Whether the window is meant to be full screen. Qt's window state cannot say:
    // with no window manager to confirm the request, Qt falls back to the normal
    // state while the window still covers the screen.
    bool m_fullScreen = false;
    // A show waiting for the window manager to let go of the hidden window.
    static constexpr int kShowWaitMs = 10;
    static constexpr int kMaxShowWaits = 100;
    QTimer m_showTimer;
    int m_showWaits = 0;
    struct PendingVideo {
        QString url;
        SOCKET sock = 0;
        QString from;
    };
    std::optional<PendingVideo> m_pendingVideo; // asked for while the show waited
    QSize m_laidOutFor;                         // the client size the current scene was built for
    bool m_closing = false;                     // inside the close event
    quint64 m_closes = 0;                       // close events so far: a show that ended
    bool m_showingDefault = false;              // the idle picture is shown, laid out for this size
    ShowImageRect* m_pictureRect = nullptr;
    bool m_autoFull = false;

    // Video. The player goes before its media and the instance (declared after
    // them); the surface is a child widget and goes with the window, after both.
    std::unique_ptr<videoShowStatDialog> m_overlay;
    std::unique_ptr<VlcInstance> m_vlc;
    std::unique_ptr<VlcMedia> m_media;
    std::unique_ptr<VlcMediaPlayer> m_player;
    VlcWidgetVideo* m_videoSurface = nullptr; // page 0 of the stack
    QString m_videoUrl;
    bool m_reopenOnPlay = false; // stopped or ended: play opens the address again
    QTimer m_stepTimer;
    qint64 m_step = 0;          // ms jumped per tick, saturating; + forward, - back
    qint64 m_duration = 0;      // ms, as the player last reported it
    qint64 m_lastPosition = 0;  // the last position reported
    SOCKET m_requesterSock = 0; // 0: nobody is told anything
    QString m_requester;
};
