// The show window's video: the player, the stepping of fast-forward and
// fast-backward, the reports to the controller that started the video, and the
// overlay kept over the client area.

#include "show/jwshowui.h"

#include "base/jwdebug.h"
#include "base/jwlog.h"
#include "protocol/protocol.h"
#include "show/videomanage.h"
#include "show/vlc/vlcaudio.h"
#include "show/vlc/vlcinstance.h"
#include "show/vlc/vlcmedia.h"
#include "show/vlc/vlcmediaplayer.h"
#include "show/vlc/vlcwidgetvideo.h"

#include <QCoreApplication>
#include <QDebug>
#include <QGraphicsItem>
#include <QGraphicsView>
#include <QMouseEvent>
#include <QStackedLayout>
#include <QThread>

#include <climits>
#include <cmath>
#include <limits>

namespace
{
constexpr int kStepIntervalMs = 500;

// Sums of controller-given times saturate instead of wrapping: a hundred
// fast-forwards of a huge step must not turn into a jump backwards.
qint64 saturatingAdd(qint64 a, qint64 b)
{
    qint64 sum;
    if (!__builtin_add_overflow(a, b, &sum))
        return sum;
    return b > 0 ? std::numeric_limits<qint64>::max() : std::numeric_limits<qint64>::min();
}

int clampToInt(qint64 v)
{
    return int(qBound<qint64>(INT_MIN, v, INT_MAX));
}

// The state last handled, for the whole process: the same state twice is
// reported once, even across videos.
Vlc::State s_lastState = Vlc::Ended;
} // namespace

void JWShowUi::initVideo()
{
    m_overlay = std::make_unique<videoShowStatDialog>();
    m_vlc = std::make_unique<VlcInstance>(VlcInstance::defaultArgs());
    m_player = std::make_unique<VlcMediaPlayer>(m_vlc.get());
    m_videoSurface = new VlcWidgetVideo();
    m_player->setVideoWidget(m_videoSurface);
    // Clicks on the video reach the window (the player takes none): the same
    // click that the overlay answers where it has something drawn.
    m_videoSurface->setAttribute(Qt::WA_TransparentForMouseEvents, false);

    m_stepTimer.setInterval(kStepIntervalMs);
    connect(&m_stepTimer, &QTimer::timeout, this, &JWShowUi::timerout);
    connect(this, &JWShowUi::msg_setVideoFile, this, &JWShowUi::SetVideoFile);
    connect(this, &JWShowUi::msg_play, this, &JWShowUi::playvideo);
    connect(this, &JWShowUi::msg_stop, this, &JWShowUi::Stopvideo);
    connect(this, &JWShowUi::msg_pause, this, &JWShowUi::Pausevideo);
    connect(this, &JWShowUi::msg_SetFast, this, &JWShowUi::setFast);
    connect(this, &JWShowUi::msg_Setvolume, this, &JWShowUi::Setvolume);
    connect(this, &JWShowUi::msg_setMute, this, &JWShowUi::SetMute);
    connect(this, &JWShowUi::msg_releaseMute, this, &JWShowUi::ReleaseMute);
    connect(this, &JWShowUi::msg_setPosition, this, &JWShowUi::SetVideoCurrentPosition);

    VideoManage* scene = m_overlay->scene();
    connect(m_player.get(), &VlcMediaPlayer::stateChanged, this, &JWShowUi::sl_currentState);
    connect(m_player.get(), &VlcMediaPlayer::lengthChanged, this, &JWShowUi::durationChanged);
    connect(m_player.get(), &VlcMediaPlayer::lengthChanged, scene, &VideoManage::SetMediaTotalTime);
    connect(m_player.get(), &VlcMediaPlayer::positionChanged, this, &JWShowUi::_positionChanged);
    connect(m_player.get(), &VlcMediaPlayer::positionChanged, scene,
            [this, scene](float pos) { scene->SetMediaTime(float(m_duration) * pos); });
    connect(m_player->audio(), &VlcAudio::muteChanged, this, &JWShowUi::media_MuteChange);
    connect(scene, &VideoManage::msg_playImageClicked, this, &JWShowUi::playvideo);
    connect(scene, &VideoManage::msg_Pause, this, &JWShowUi::Pausevideo);
    connect(scene, &QGraphicsScene::changed, this, &JWShowUi::maskOverlay);
    connect(m_overlay.get(), &videoShowStatDialog::msg_keyEscPress, this,
            &JWShowUi::msg_keyEscPress);
}

void JWShowUi::report(cmd::VideoInfo what, const QString& value)
{
    if (m_requesterSock != 0)
        emit videoReport(cmd::VideoReport{m_requesterSock, m_requester, what, value});
}

void JWShowUi::openMedia(const QString& address)
{
    // The player keeps its own hold on the media it plays, so the previous one
    // can go as soon as the new one is in place.
    auto previous = std::move(m_media);
    m_media = std::make_unique<VlcMedia>(address, false, m_vlc.get());
    // The surface's native window is made anew when the window's flags change
    // (the first show adds "stay on top"): hand the player the current one.
    m_player->setVideoWidget(m_videoSurface);
    m_player->open(m_media.get());
}

void JWShowUi::showVideoPage()
{
    m_pictureView->hide();
    m_videoSurface->show();
    m_stack->setCurrentWidget(m_videoSurface);
    m_videoMode = true;
    m_pictureMode = false;
    m_showingDefault = false;
    showOverlay();
    emit surfaceChanged();
}

void JWShowUi::SetVideoFile(QString url, SOCKET sock, QString from)
{
    qCDebug(lcJwShow).noquote() << "Set Video file:" << url;
    JWLOG::debug("Set Video file:" + url);
    if (!url.isEmpty() && m_showTimer.isActive()) {
        // Asked for right after a show that waits for the window manager: it
        // starts once the window is up.
        m_pendingVideo = PendingVideo{url, sock, from};
        return;
    }
    if (url.isEmpty() || !isVisible())
        return;
    if (m_pictureMode) {
        m_overlay->scene()->ShowPlayImage(width(), height());
        showVideoPage();
    }
    m_videoUrl = url;
    m_stepTimer.stop();
    m_step = 0;
    const quint64 closes = m_closes;
    QCoreApplication::processEvents();
    // The events run may have closed the window (its controller gone) or hidden
    // it: nothing is opened for a show that has ended.
    if (m_closes != closes || !isVisible()) {
        qDebug().noquote() << "video not opened, the window was closed or hidden meanwhile:" << url;
        return;
    }
    openMedia(url);
    m_requesterSock = sock;
    m_requester = from;
    m_duration = 0;
    m_lastPosition = 0;
    media_volumeChanged(50);
}

void JWShowUi::playvideo()
{
    dropPictures();
    if (m_pictureMode)
        showVideoPage();
    m_stepTimer.stop();
    m_step = 0;
    if (!m_reopenOnPlay)
        m_player->play();
    else if (!m_videoUrl.isEmpty())
        openMedia(m_videoUrl); // from the beginning again
}

void JWShowUi::Pausevideo()
{
    JWLOG::debug(QStringLiteral("Set Video pause:"));
    if (m_stepTimer.isActive()) {
        JWLOG::debug(QStringLiteral("Set Video pause timer stop::"));
        m_stepTimer.stop();
    }
    m_step = 0;
    if (m_player->state() != Vlc::Paused)
        m_player->pause();
}

void JWShowUi::Stopvideo()
{
    if (m_stepTimer.isActive()) {
        JWLOG::debug(QStringLiteral("Set Video stop timer stop::"));
        m_stepTimer.stop();
    }
    m_step = 0;
    if (m_player->state() != Vlc::Stopped)
        m_player->stop();
}

void JWShowUi::setFast(qint64 time)
{
    if (time == 0) {
        playvideo();
        return;
    }
    const bool stepping = m_stepTimer.isActive();
    if (!stepping)
        Pausevideo();
    if ((m_step > 0 && time < 0) || (m_step < 0 && time > 0))
        m_step = 0; // a change of direction starts over
    m_step = saturatingAdd(m_step, time);
    if (!stepping)
        m_stepTimer.start(kStepIntervalMs);
}

void JWShowUi::timerout()
{
    qint64 target = saturatingAdd(m_player->time(), m_step);
    if (target >= m_duration) {
        target = m_duration;
        Pausevideo();
        if (target > 0)
            m_player->setTime(clampToInt(target));
    } else if (target < 0) {
        target = 0;
        Pausevideo();
    } else if (target > 0) {
        m_player->setTime(clampToInt(target));
    }
    if (target > 0 && target != m_lastPosition && m_requesterSock != 0) {
        m_lastPosition = target;
        report(cmd::VideoInfo::Position, QString::number(target));
    }
}

void JWShowUi::SetVideoCurrentPosition(qint64 time)
{
    if (time > 0)
        m_player->setTime(clampToInt(time));
}

void JWShowUi::Setvolume(int value)
{
    const int v = qBound(0, value, 100);
    m_player->audio()->setVolume(v);
    m_overlay->paintVolume(uint(v));
}

void JWShowUi::SetMute()
{
    m_player->audio()->toggleMute();
}

void JWShowUi::ReleaseMute()
{
    m_player->audio()->toggleMute();
}

void JWShowUi::durationChanged(int duration)
{
    if (duration < 0 || m_requesterSock == 0)
        return;
    m_duration = duration;
    report(cmd::VideoInfo::Duration, QString::number(duration));
}

void JWShowUi::_positionChanged(float position)
{
    qCDebug(lcJwShow) << "..................::" << position;
    const float ms = float(m_duration) * position;
    // A fraction the player got wrong must not become undefined behaviour.
    if (!std::isfinite(ms) || ms <= 0 || ms >= float(std::numeric_limits<qint64>::max()))
        return;
    const qint64 pos = qint64(ms);
    if (pos <= 0 || m_requesterSock == 0 || pos == m_lastPosition)
        return;
    m_lastPosition = pos;
    report(cmd::VideoInfo::Position, QString::number(pos));
}

void JWShowUi::sl_currentState()
{
    const Vlc::State state = m_player->state();
    // The player announces a stop of its own right after the end; the end (a
    // "paused" video at its last position) is what the controller is told.
    if (state == s_lastState || (state == Vlc::Stopped && s_lastState == Vlc::Ended))
        return;
    s_lastState = state;
    VideoManage* scene = m_overlay->scene();
    scene->sl_videState(state);
    const int W = width(), H = height();
    QString word = QLatin1String(proto::kStoped);
    switch (state) {
    case Vlc::Playing:
        word = QLatin1String(proto::kPlaying);
        scene->RemovePlayImage();
        scene->ShowTimeText(W, H);
        m_reopenOnPlay = false;
        break;
    case Vlc::Paused:
        word = QLatin1String(proto::kPaused);
        scene->ShowPlayImage(W, H);
        break;
    case Vlc::Stopped:
        scene->ShowPlayImage(W, H);
        scene->RemoveTimeText();
        m_reopenOnPlay = true;
        break;
    case Vlc::Ended:
        word = QLatin1String(proto::kPaused);
        scene->ShowPlayImage(W, H);
        m_reopenOnPlay = true;
        _positionChanged(1.0f); // the whole duration as the last position
        break;
    case Vlc::Error:
        qCDebug(lcJwShow) << "error:JWShowUi:sl_currentState:Vlc:state:error";
        // The next play starts the address afresh instead of resuming nothing.
        m_reopenOnPlay = true;
        break;
    case Vlc::Idle:
    case Vlc::Opening:
    case Vlc::Buffering:
        break;
    }
    report(cmd::VideoInfo::Status, word);
}

void JWShowUi::media_volumeChanged(int volume)
{
    if (m_requesterSock != 0)
        report(cmd::VideoInfo::Volume, QString::number(volume));
}

// Follows the audio's mute state with the overlay's mute sign. Nothing is
// reported: a "mute" report would carry no value, so a phone could not use it.
void JWShowUi::media_MuteChange(bool muted)
{
    if (muted)
        m_overlay->SetMuteImage(m_overlay->size());
    else
        m_overlay->RemoveMuteImage();
}

// The overlay covers the client area exactly (one pixel more on each side).
void JWShowUi::placeOverlay()
{
    if (!m_overlay)
        return;
    const QRect frame = frameGeometry();
    const int W = width(), H = height();
    m_overlay->move(x() + (frame.width() - W) / 2 - 1, y() + (3 * (frame.height() - H)) / 4 - 1);
    m_overlay->resize(W + 2, H + 4);
}

void JWShowUi::showOverlay()
{
    if (!m_overlay || !m_videoMode || !isVisible())
        return;
    placeOverlay();
    maskOverlay();
    m_overlay->show();
    m_overlay->raise();
}

// Only the decorations' own pixels are part of the overlay window. Where nothing
// composites windows, a translucent one is drawn black and would hide the video
// (a box around each sign, if the mask were their rectangles); where something
// does, the rest would be invisible anyway. Clicks elsewhere reach the video
// itself, which answers them the same way.
void JWShowUi::maskOverlay()
{
    if (!m_overlay)
        return;
    const QPoint offset = m_overlay->view()->mapTo(m_overlay.get(), QPoint(0, 0));
    QRegion shown = m_overlay->scene()->drawnRegion().translated(offset);
    if (shown.isEmpty())
        shown = QRegion(0, 0, 1, 1); // an empty mask would mean no mask at all
    if (shown != m_overlay->mask())
        m_overlay->setMask(shown);
}

void JWShowUi::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    emit surfaceChanged();
}

void JWShowUi::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    emit surfaceChanged();
    if (!m_overlay)
        return;
    m_overlay->hide();
    if (m_videoMode)
        Pausevideo();
}

void JWShowUi::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && isMinimized() && m_videoMode &&
        !m_pictureMode && m_overlay)
        m_overlay->hide();
    // Activated, a window manager raises it: over the boards, too, which go back
    // over it.
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        emit surfaceChanged();
}

void JWShowUi::mouseReleaseEvent(QMouseEvent* event)
{
    if (!m_videoMode || event->button() != Qt::LeftButton) {
        QWidget::mouseReleaseEvent(event);
        return;
    }
    if (m_overlay->scene()->playImageShown())
        playvideo();
    else if (m_player->state() == Vlc::Playing)
        Pausevideo();
}
