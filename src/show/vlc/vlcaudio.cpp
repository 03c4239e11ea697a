#include "show/vlc/vlcaudio.h"

#include "show/vlc/vlcmediaplayer.h"

#include <algorithm>
#include <vlc/vlc.h>

VlcAudio::VlcAudio(VlcMediaPlayer* player) : QObject(player), m_player(player) {}

void VlcAudio::setVolume(int volume)
{
    volume = std::clamp(volume, 0, 200);
    if (volume == m_volume)
        return;
    m_volume = volume;
    apply();
    emit volumeChanged(m_volume);
}

void VlcAudio::toggleMute()
{
    m_mute = !m_mute;
    apply();
    emit muteChanged(m_mute);
}

void VlcAudio::apply()
{
    // Both fail quietly while there is no audio output; the next start retries.
    if (libvlc_media_player_t* core = m_player->core()) {
        libvlc_audio_set_volume(core, m_volume);
        libvlc_audio_set_mute(core, m_mute);
    }
}
