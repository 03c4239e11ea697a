#include "show/videocontroller.h"

#include "base/jwdebug.h"
#include "base/jwlog.h"
#include "protocol/protocol.h"
#include "show/vlc/vlcaudio.h"
#include "show/vlc/vlcinstance.h"
#include "show/vlc/vlcmedia.h"
#include "show/vlc/vlcmediaplayer.h"

#include <QDebug>

#include <climits>
#include <cmath>
#include <limits>

namespace
{

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

} // namespace

VideoController::VideoController(QObject* parent)
    : QObject(parent), m_vlc(std::make_unique<VlcInstance>(VlcInstance::defaultArgs())),
      m_player(std::make_unique<VlcMediaPlayer>(m_vlc.get()))
{
    m_stepTimer.setInterval(kStepIntervalMs);
    connect(&m_stepTimer, &QTimer::timeout, this, &VideoController::stepOnce);
    connect(m_player.get(), &VlcMediaPlayer::stateChanged, this, &VideoController::followState);
    connect(m_player.get(), &VlcMediaPlayer::lengthChanged, this, &VideoController::followLength);
    connect(m_player.get(), &VlcMediaPlayer::positionChanged, this,
            &VideoController::followPosition);
    connect(m_player->audio(), &VlcAudio::muteChanged, this, &VideoController::muteChanged);
}

VideoController::~VideoController() = default;

Vlc::State VideoController::state() const
{
    return m_player->state();
}

void VideoController::report(cmd::VideoInfo what, const QString& value)
{
    if (m_requesterSock != 0)
        emit videoReport(cmd::VideoReport{m_requesterSock, m_requester, what, value});
}

void VideoController::openMedia(const QString& url)
{
    // The player keeps its own hold on the media it plays, so the previous one
    // can go as soon as the new one is in place.
    auto previous = std::move(m_media);
    m_media = std::make_unique<VlcMedia>(url, false, m_vlc.get());
    m_player->setVideoWidget(m_surface);
    m_player->open(m_media.get());
}

void VideoController::open(const QString& url, SOCKET sock, const QString& from)
{
    m_url = url;
    m_stepTimer.stop();
    m_step = 0;
    openMedia(url);
    m_requesterSock = sock;
    m_requester = from;
    m_duration = 0;
    m_lastPosition = 0;
    report(cmd::VideoInfo::Volume, QString::number(50));
}

void VideoController::play()
{
    emit playRequested();
    m_stepTimer.stop();
    m_step = 0;
    if (!m_reopenOnPlay)
        m_player->play();
    else if (!m_url.isEmpty())
        openMedia(m_url); // from the beginning again
}

void VideoController::pause()
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

void VideoController::stop()
{
    if (m_stepTimer.isActive()) {
        JWLOG::debug(QStringLiteral("Set Video stop timer stop::"));
        m_stepTimer.stop();
    }
    m_step = 0;
    if (m_player->state() != Vlc::Stopped)
        m_player->stop();
}

void VideoController::close()
{
    // A step timer left running would wake the program up for nothing, for ever.
    m_stepTimer.stop();
    m_step = 0;
    // Whatever the player last said: a stream opened a moment ago is still
    // opening, and would play on unseen.
    if (m_media) {
        m_player->close();
        m_media.reset();
        qCDebug(lcJwShow) << "stop video ................";
    }
    m_url.clear();
    m_requesterSock = 0;
}

void VideoController::step(qint64 ms)
{
    if (ms == 0) {
        play();
        return;
    }
    const bool stepping = m_stepTimer.isActive();
    if (!stepping)
        pause();
    if ((m_step > 0 && ms < 0) || (m_step < 0 && ms > 0))
        m_step = 0; // a change of direction starts over
    m_step = saturatingAdd(m_step, ms);
    if (!stepping)
        m_stepTimer.start();
}

void VideoController::stepOnce()
{
    qint64 target = saturatingAdd(m_player->time(), m_step);
    if (target >= m_duration) {
        target = m_duration;
        pause();
        if (target > 0)
            m_player->setTime(clampToInt(target));
    } else if (target < 0) {
        target = 0;
        pause();
    } else if (target > 0) {
        m_player->setTime(clampToInt(target));
    }
    if (target > 0 && target != m_lastPosition && m_requesterSock != 0) {
        m_lastPosition = target;
        report(cmd::VideoInfo::Position, QString::number(target));
    }
}

void VideoController::seek(qint64 ms)
{
    if (ms > 0)
        m_player->setTime(clampToInt(ms));
}

void VideoController::setVolume(int value)
{
    const int v = qBound(0, value, 100);
    m_player->audio()->setVolume(v);
    emit volumeSet(v);
}

// Nothing is reported: a "mute" report would carry no value, so a phone could
// not use it.
void VideoController::toggleMute()
{
    m_player->audio()->toggleMute();
}

void VideoController::followLength(int ms)
{
    if (ms >= 0 && m_requesterSock != 0) {
        m_duration = ms;
        report(cmd::VideoInfo::Duration, QString::number(ms));
    }
    emit durationChanged(ms);
}

void VideoController::followPosition(float position)
{
    reportPosition(position);
    emit timeChanged(float(m_duration) * position);
}

void VideoController::reportPosition(float position)
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

void VideoController::followState()
{
    const Vlc::State state = m_player->state();
    // The player announces a stop of its own right after the end; the end (a
    // "paused" video at its last position) is what the controller is told.
    if (state == m_lastState || (state == Vlc::Stopped && m_lastState == Vlc::Ended))
        return;
    m_lastState = state;
    emit stateChanged(state);
    QString word = QLatin1String(proto::kStoped);
    switch (state) {
    case Vlc::Playing:
        word = QLatin1String(proto::kPlaying);
        m_reopenOnPlay = false;
        break;
    case Vlc::Paused:
        word = QLatin1String(proto::kPaused);
        break;
    case Vlc::Stopped:
        m_reopenOnPlay = true;
        break;
    case Vlc::Ended:
        word = QLatin1String(proto::kPaused);
        m_reopenOnPlay = true;
        reportPosition(1.0f); // the whole duration as the last position
        break;
    case Vlc::Error:
        qCDebug(lcJwShow) << "error:VideoController:followState:Vlc:state:error";
        // The next play starts the address afresh instead of resuming nothing.
        m_reopenOnPlay = true;
        break;
    case Vlc::Idle:
    case Vlc::Opening:
    case Vlc::Buffering:
        break;
    }
    report(cmd::VideoInfo::Status, word);
    // After the status: what the requester's page says last is why.
    if (state == Vlc::Error && m_requesterSock != 0)
        emit pageReport(cmd::PageReport{QLatin1String(proto::kActVideo), m_requester, QString(),
                                        false, QLatin1String(proto::kFailed),
                                        QLatin1String(proto::kCannotOpen)});
}
