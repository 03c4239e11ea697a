#pragma once
// The show window's video without the window: the player and its stream, play,
// pause, stop, stepping forward and backward, seeking, volume and mute, and the
// reports to the controller that started the video. The window hands it the
// surface to draw into and follows its signals with the overlay. It lives on the
// GUI thread; the player's reports reach it there as queued signals.

#include "protocol/commands.h"
#include "show/vlc/vlcenums.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <memory>

class VlcInstance;
class VlcMedia;
class VlcMediaPlayer;
class VlcWidgetVideo;

class VideoController : public QObject
{
    Q_OBJECT
public:
    // Stepping jumps by the accumulated step this often.
    static constexpr int kStepIntervalMs = 500;

    explicit VideoController(QObject* parent = nullptr);
    ~VideoController() override;

    // Where the video is drawn: handed to the player at each opening, so that a
    // surface whose native window was made anew is the one drawn into.
    void setSurface(VlcWidgetVideo* surface) { m_surface = surface; }

    // Plays the address; from now on the reports go to the connection sock and
    // controller from (sock 0: to nobody), the volume 50 first.
    void open(const QString& url, SOCKET sock, const QString& from);
    void play(); // resumes; stopped or ended, from the beginning again
    void pause();
    void stop();
    // Pauses and jumps by the accumulated step every kStepIntervalMs, forward for
    // ms > 0 and backward for ms < 0; 0 plays.
    void step(qint64 ms);
    void seek(qint64 ms);
    void setVolume(int value); // 0..100
    void toggleMute();
    // The show has ended: nothing of the video stays open (no stream, no
    // decoder, no address to open again) and nobody is told anything more.
    void close();

    // As last reported by the player.
    Vlc::State state() const;
    qint64 stepMs() const { return m_step; }
    bool isStepping() const { return m_stepTimer.isActive(); }
    VlcMediaPlayer* player() const { return m_player.get(); }

signals:
    // Before playing starts or resumes: the window shows the video page.
    void playRequested();
    // Once for each change of the player's state.
    void stateChanged(Vlc::State state);
    void durationChanged(int ms);
    void timeChanged(float ms); // the time the overlay shows
    // Every volume set, changed or not: the overlay shows it for a while.
    void volumeSet(int volume);
    void muteChanged(bool muted);
    void videoReport(cmd::VideoReport report);
    // The video could not be opened (for the requester's page, when it has one).
    void pageReport(const cmd::PageReport& report);

private:
    void openMedia(const QString& url);
    void report(cmd::VideoInfo what, const QString& value);
    void followState();
    void followLength(int ms);
    void followPosition(float position);
    void reportPosition(float position);
    void stepOnce();

    // The player goes before its media and the instance (declared after them).
    std::unique_ptr<VlcInstance> m_vlc;
    std::unique_ptr<VlcMedia> m_media; // null: nothing opened since the last close
    std::unique_ptr<VlcMediaPlayer> m_player;
    VlcWidgetVideo* m_surface = nullptr;
    QString m_url;
    bool m_reopenOnPlay = false; // stopped or ended: play opens the address again
    QTimer m_stepTimer;
    qint64 m_step = 0;          // ms jumped per tick, saturating; + forward, - back
    qint64 m_duration = 0;      // ms, as the player last reported it
    qint64 m_lastPosition = 0;  // the last position reported
    SOCKET m_requesterSock = 0; // 0: nobody is told anything
    QString m_requester;
    // The state last handled: the same state twice is reported once, even
    // across videos.
    Vlc::State m_lastState = Vlc::Ended;
};
