#pragma once
// The player's volume and mute. libvlc can only take them while an audio output
// exists and reads them back as 0 or -1 without a sound device, so the values
// kept here are the truth and are handed to libvlc whenever it can take them.

#include <QObject>

class VlcMediaPlayer;

class VlcAudio : public QObject
{
    Q_OBJECT
public:
    explicit VlcAudio(VlcMediaPlayer* player); // owned by the player

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
    VlcMediaPlayer* m_player;
    int m_volume = 100;
    bool m_mute = false;
};
