#include "show/vlc/vlcaudio.h"

#include <algorithm>
#include <vlc/vlc.h>

VlcAudio::VlcAudio(libvlc_media_player_t* core, QObject* player) : QObject(player), m_core(core) {}

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
    if (m_core) {
        libvlc_audio_set_volume(m_core, m_volume);
        libvlc_audio_set_mute(m_core, m_mute);
    }
}
