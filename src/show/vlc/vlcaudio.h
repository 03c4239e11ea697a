#pragma once
// The player's volume and mute. libvlc can only take them while an audio output
// exists and reads them back as 0 or -1 without a sound device, so the values
// kept here are the truth and are handed to libvlc whenever it can take them.

#include <QObject>

struct libvlc_media_player_t;

class VlcAudio : public QObject
{
    Q_OBJECT
public:
    // The audio of the player core (none: nothing reaches libvlc); a child of the
    // player object.
    VlcAudio(libvlc_media_player_t* core, QObject* player);

    int volume() const { return m_volume; } // 0..200 percent
    void setVolume(int volume);
    bool getMute() const { return m_mute; }
    void toggleMute();

    // Hands volume and mute to libvlc again (the player calls it when playing starts).
    void apply();

signals:
    void volumeChanged(int volume);
    void muteChanged(bool mute);

private:
    libvlc_media_player_t* const m_core;
    int m_volume = 100;
    bool m_mute = false;
};
