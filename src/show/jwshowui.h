#pragma once
// The presentation window: the fetched picture or the video full screen, with the
// video's overlay floating over it. It does what the dispatcher asks through
// apply(); its picture fetcher and video controller do the work behind its two
// pages. Everything here runs on the GUI thread.

#include "protocol/commands.h"
#include "show/picturefetcher.h"
#include "show/videocontroller.h"
#include "show/vlc/vlcenums.h"

#include <QHash>
#include <QImage>
#include <QPixmap>
#include <QPointer>
#include <QRect>
#include <QSize>
#include <QTimer>
#include <QWidget>
#include <memory>
#include <optional>
#include <utility>

class QGraphicsScene;
class QGraphicsView;
class QScreen;
class QStackedLayout;
class ShowImageRect;
class VlcWidgetVideo;
class videoShowStatDialog;

class JWShowUi : public QWidget
{
    Q_OBJECT
public:
    explicit JWShowUi(QWidget* parent = nullptr);
    ~JWShowUi() override;

    // What the dispatcher asks of the window.
    void apply(const cmd::ShowCommand& c);
    void showDefaultImage();
    // Where the shown picture lies is written here for the pointer and the boards.
    void setPictureRect(ShowImageRect* rect) { m_pictureRect = rect; }
    // Whether a show goes full screen by itself.
    void setAutoFull(bool on) { m_autoFull = on; }
    bool autoFull() const { return m_autoFull; }
    // The screen the show goes to (none: the one the window is on, at first the
    // primary). The window moves there at once, shown or not, and the picture's
    // rectangle with it; a full-screen window covers the new screen.
    void setTargetScreen(QScreen* screen);

    PictureFetcher& fetcher() { return m_fetcher; }
    // Its reports go to the controller that started the video.
    VideoController& video() { return m_video; }
    bool isPictureMode() const { return m_pictureMode; }
    bool isVideoMode() const { return m_videoMode; }
    QPixmap sourcePicture() const { return m_sourcePicture; }

signals:
    // A new picture is on the screen (whiteboards drawn over it follow it).
    void pictureShown();
    // What the window puts on the screen changed otherwise: shown, hidden, moved,
    // resized, raised by its activation, or a video in place of the picture.
    void surfaceChanged();
    // What came of a page's picture, and how the window came up or went after a
    // show or hide: for the browser remote's pages.
    void pageReport(const cmd::PageReport& report);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void showWindow();
    void hideWindow();
    void cancelShow();
    void goFullScreen();
    void goNormal();
    void toggleFullScreen();
    void showPicture(const QImage& image);
    void layOutPicture();
    void updateImageRect(int pw, int ph);
    void refitToWindow(bool sizeChanged);
    void startVideo(const cmd::PlayVideo& video);
    void showVideoPage();
    void followVideoState(Vlc::State state);
    void showOverlay();
    void placeOverlay();
    void maskOverlay();
    QScreen* showScreen() const;
    void reportPicture(quint64 tag, PictureFetcher::Outcome outcome, int httpStatus);
    void watchWindow(cmd::ShowTarget target);
    void checkWindow();

    PictureFetcher m_fetcher;
    VideoController m_video;
    std::unique_ptr<videoShowStatDialog> m_overlay;
    QStackedLayout* m_stack = nullptr;        // its pages are children of the window
    QGraphicsView* m_pictureView = nullptr;   // the picture page
    VlcWidgetVideo* m_videoSurface = nullptr; // the video page
    QGraphicsScene* m_scene = nullptr;
    QPixmap m_sourcePicture;
    QSize m_laidOutFor; // the client size the current scene was built for
    bool m_pictureMode = true;
    bool m_videoMode = false;
    bool m_showingDefault = false; // the idle picture is shown, laid out for this size
    ShowImageRect* m_pictureRect = nullptr;
    bool m_autoFull = false;
    QPointer<QScreen> m_targetScreen;
    // Where the window goes back to from full screen: no window manager keeps
    // that for us, so it is remembered here.
    QRect m_normalGeometry;
    // Whether the window is meant to be full screen. Qt's window state cannot say:
    // with no window manager to confirm the request, Qt falls back to the normal
    // state while the window still covers the screen.
    bool m_fullScreen = false;
    // A show waiting for the window manager to let go of the hidden window.
    static constexpr int kShowWaitMs = 10;
    static constexpr int kMaxShowWaits = 100;
    QTimer m_showTimer;
    int m_showWaits = 0;
    std::optional<cmd::PlayVideo> m_pendingVideo; // asked for while the show waited
    // Pictures pages asked for, by the tag their request carries: controller, id.
    QHash<quint64, std::pair<QString, QString>> m_pagePictures;
    quint64 m_lastTag = 0;
    // After a show, how the window came up is told once it has settled (a window
    // manager takes a moment), or once this long has passed.
    static constexpr int kWindowSettleMs = 3000;
    static constexpr int kWindowCheckMs = 50;
    QTimer m_windowCheck;
    int m_windowChecks = 0;
};
