#pragma once
// The native window a VlcMediaPlayer draws its video into. Qt never paints it:
// libvlc may draw straight into this window (OpenGL) and anything Qt flushed
// there would cover the picture until the next frame.

#include <QPointer>
#include <QWidget>

class VlcMediaPlayer;

class VlcWidgetVideo : public QWidget
{
    Q_OBJECT
public:
    explicit VlcWidgetVideo(QWidget* parent = nullptr);
    // Stops a player still drawing here: some of libvlc's outputs abort the
    // process when their window goes away under them.
    ~VlcWidgetVideo() override;

    QPaintEngine* paintEngine() const override { return nullptr; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    friend class VlcMediaPlayer; // keeps m_player current
    QPointer<VlcMediaPlayer> m_player;
    WId m_blackened = 0; // the native window last given a black background
};
