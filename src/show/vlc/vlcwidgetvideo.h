#pragma once
// The native window a VlcMediaPlayer draws its video into. Qt never paints it:
// libvlc may draw straight into this window (OpenGL) and anything Qt flushed
// there would cover the picture until the next frame.

#include <QWidget>
#include <functional>

class VlcWidgetVideo : public QWidget
{
    Q_OBJECT
public:
    explicit VlcWidgetVideo(QWidget* parent = nullptr);
    // Stops a player still drawing here: some of libvlc's outputs abort the
    // process when their window goes away under them.
    ~VlcWidgetVideo() override;

    QPaintEngine* paintEngine() const override { return nullptr; }
    // What stops the player drawing here (set by the player that does).
    void setStopPlayer(std::function<void()> stop) { m_stopPlayer = std::move(stop); }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    std::function<void()> m_stopPlayer;
    WId m_blackened = 0; // the native window last given a black background
};
