#pragma once
// Plays one media at a time into a VlcWidgetVideo. libvlc reports from its own
// threads; everything here is emitted on the thread this object lives in.

#include "show/vlc/vlcenums.h"

#include <QObject>
#include <QPointer>

class VlcAudio;
class VlcInstance;
class VlcMedia;
class VlcWidgetVideo;
struct libvlc_event_t;
struct libvlc_media_player_t;

class VlcMediaPlayer : public QObject
{
    Q_OBJECT
public:
    explicit VlcMediaPlayer(VlcInstance* instance, QObject* parent = nullptr);
    ~VlcMediaPlayer() override; // stops playback first, which may block briefly

    libvlc_media_player_t* core() const { return m_core; }
    VlcAudio* audio() const { return m_audio; }
    // Takes effect at the next start of playback.
    void setVideoWidget(VlcWidgetVideo* widget);
    VlcWidgetVideo* videoWidget() const;

    void open(VlcMedia* media); // replaces the current media and plays it
    void play();                // resumes a pause; after the end, starts over
    void pause();               // pauses only, never resumes
    void stop();
    void close(); // stops and lets go of the media: nothing of its stream stays open

    // The state of the last stateChanged() delivered, so that a slot sees the
    // state it was told about even when libvlc has moved on since.
    Vlc::State state() const { return m_state; }
    // Milliseconds; -1 (and position -1) while libvlc does not know.
    int time() const;
    void setTime(int ms);
    int length() const;
    float position() const;

signals:
    void stateChanged();
    void opening();
    void playing();
    void paused();
    void stopped();
    void end();
    void error();
    void buffering(float percent);
    void lengthChanged(int ms);
    void positionChanged(float position);
    void timeChanged(int ms);

private:
    static void onEvent(const libvlc_event_t* event, void* self);
    void setState(Vlc::State state);

    libvlc_media_player_t* m_core = nullptr;
    VlcAudio* m_audio = nullptr;
    QPointer<VlcWidgetVideo> m_widget;
    Vlc::State m_state = Vlc::Idle;
};
