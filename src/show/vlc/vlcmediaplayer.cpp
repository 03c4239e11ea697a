#include "show/vlc/vlcmediaplayer.h"

#include "show/vlc/vlcaudio.h"
#include "show/vlc/vlcinstance.h"
#include "show/vlc/vlcmedia.h"
#include "show/vlc/vlcwidgetvideo.h"

#include <algorithm>
#include <climits>
#include <vlc/vlc.h>

namespace
{
const libvlc_event_type_t kEvents[] = {
    libvlc_MediaPlayerOpening,          libvlc_MediaPlayerBuffering,
    libvlc_MediaPlayerPlaying,          libvlc_MediaPlayerPaused,
    libvlc_MediaPlayerStopped,          libvlc_MediaPlayerEndReached,
    libvlc_MediaPlayerEncounteredError, libvlc_MediaPlayerTimeChanged,
    libvlc_MediaPlayerPositionChanged,  libvlc_MediaPlayerLengthChanged,
};

// libvlc counts in 64-bit milliseconds and says -1 for "unknown"; both fit an int.
int toMs(int64_t ms)
{
    return int(std::clamp<int64_t>(ms, -1, INT_MAX));
}
} // namespace

VlcMediaPlayer::VlcMediaPlayer(VlcInstance* instance, QObject* parent) : QObject(parent)
{
    if (instance && instance->isValid())
        m_core = libvlc_media_player_new(instance->core());
    m_audio = new VlcAudio(m_core, this);
    if (m_core) {
        // Clicks and Esc on the video belong to our windows, and X11 delivers a
        // button press to one client only.
        libvlc_video_set_mouse_input(m_core, 0);
        libvlc_video_set_key_input(m_core, 0);
        libvlc_event_manager_t* events = libvlc_media_player_event_manager(m_core);
        for (libvlc_event_type_t type : kEvents)
            libvlc_event_attach(events, type, &VlcMediaPlayer::onEvent, this);
    }
}

VlcMediaPlayer::~VlcMediaPlayer()
{
    if (!m_core)
        return;
    // Detaching waits for a callback that is running, so none can reach us once
    // this loop is done; what callbacks already queued dies with this QObject.
    libvlc_event_manager_t* events = libvlc_media_player_event_manager(m_core);
    for (libvlc_event_type_t type : kEvents)
        libvlc_event_detach(events, type, &VlcMediaPlayer::onEvent, this);
    libvlc_media_player_stop(m_core);
    libvlc_media_player_release(m_core);
}

void VlcMediaPlayer::setVideoWidget(VlcWidgetVideo* widget)
{
    if (m_widget && m_widget != widget)
        m_widget->setStopPlayer(nullptr);
    m_widget = widget;
    if (widget)
        widget->setStopPlayer([player = QPointer<VlcMediaPlayer>(this)] {
            if (player)
                player->stop();
        });
    if (!m_core)
        return;
#ifdef Q_OS_WIN
    libvlc_media_player_set_hwnd(m_core,
                                 widget ? reinterpret_cast<void*>(widget->winId()) : nullptr);
#else
    libvlc_media_player_set_xwindow(m_core, widget ? uint32_t(widget->winId()) : 0);
#endif
}

VlcWidgetVideo* VlcMediaPlayer::videoWidget() const
{
    return m_widget;
}

void VlcMediaPlayer::open(VlcMedia* media)
{
    if (!m_core || !media || !media->core()) {
        QMetaObject::invokeMethod(
            this, [this] { setState(Vlc::Error); }, Qt::QueuedConnection);
        return;
    }
    libvlc_media_player_set_media(m_core, media->core());
    libvlc_media_player_play(m_core);
}

void VlcMediaPlayer::play()
{
    if (!m_core)
        return;
    // libvlc keeps a finished input around and ignores play until it is stopped.
    const libvlc_state_t now = libvlc_media_player_get_state(m_core);
    if (now == libvlc_Ended || now == libvlc_Error)
        libvlc_media_player_stop(m_core);
    libvlc_media_player_play(m_core);
}

void VlcMediaPlayer::pause()
{
    if (m_core)
        libvlc_media_player_set_pause(m_core, 1);
}

void VlcMediaPlayer::stop()
{
    if (m_core)
        libvlc_media_player_stop(m_core);
}

void VlcMediaPlayer::close()
{
    if (!m_core)
        return;
    libvlc_media_player_stop(m_core);
    libvlc_media_player_set_media(m_core, nullptr);
}

int VlcMediaPlayer::time() const
{
    return m_core ? toMs(libvlc_media_player_get_time(m_core)) : -1;
}

void VlcMediaPlayer::setTime(int ms)
{
    if (m_core)
        libvlc_media_player_set_time(m_core, std::max(ms, 0));
}

int VlcMediaPlayer::length() const
{
    return m_core ? toMs(libvlc_media_player_get_length(m_core)) : -1;
}

float VlcMediaPlayer::position() const
{
    return m_core ? libvlc_media_player_get_position(m_core) : -1.0f;
}

// On a libvlc thread, with libvlc's event lock held: calling back into libvlc
// here dead-locks, and our QObjects belong to another thread. Only copy the
// values and queue them.
void VlcMediaPlayer::onEvent(const libvlc_event_t* event, void* self)
{
    auto* player = static_cast<VlcMediaPlayer*>(self);
    auto post = [player](auto&& call) {
        QMetaObject::invokeMethod(player, std::forward<decltype(call)>(call), Qt::QueuedConnection);
    };
    auto state = [post, player](Vlc::State s) { post([player, s] { player->setState(s); }); };
    switch (event->type) {
    case libvlc_MediaPlayerOpening:
        return state(Vlc::Opening);
    case libvlc_MediaPlayerPlaying:
        return state(Vlc::Playing);
    case libvlc_MediaPlayerPaused:
        return state(Vlc::Paused);
    case libvlc_MediaPlayerStopped:
        return state(Vlc::Stopped);
    case libvlc_MediaPlayerEndReached:
        return state(Vlc::Ended);
    case libvlc_MediaPlayerEncounteredError:
        return state(Vlc::Error);
    case libvlc_MediaPlayerBuffering: {
        const float percent = event->u.media_player_buffering.new_cache;
        return post([player, percent] { emit player->buffering(percent); });
    }
    case libvlc_MediaPlayerTimeChanged: {
        const int ms = toMs(event->u.media_player_time_changed.new_time);
        return post([player, ms] { emit player->timeChanged(ms); });
    }
    case libvlc_MediaPlayerPositionChanged: {
        const float position = event->u.media_player_position_changed.new_position;
        return post([player, position] { emit player->positionChanged(position); });
    }
    case libvlc_MediaPlayerLengthChanged: {
        const int ms = toMs(event->u.media_player_length_changed.new_length);
        return post([player, ms] { emit player->lengthChanged(ms); });
    }
    }
}

void VlcMediaPlayer::setState(Vlc::State state)
{
    m_state = state;
    // A new input may come with a new audio output that starts at libvlc's defaults.
    if (state == Vlc::Playing)
        m_audio->apply();
    emit stateChanged();
    switch (state) {
    case Vlc::Opening:
        emit opening();
        break;
    case Vlc::Playing:
        emit playing();
        break;
    case Vlc::Paused:
        emit paused();
        break;
    case Vlc::Stopped:
        emit stopped();
        break;
    case Vlc::Ended:
        emit end();
        break;
    case Vlc::Error:
        emit error();
        break;
    default:
        break;
    }
}
