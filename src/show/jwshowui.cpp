#include "show/jwshowui.h"

#include "base/jwdebug.h"
#include "base/jwlog.h"
#include "base/showimagerect.h"
#include "host/windowmanager.h"
#include "protocol/protocol.h"
#include "show/fitsize.h"
#include "show/videomanage.h"
#include "show/vlc/vlcwidgetvideo.h"

#include <QCloseEvent>
#include <QDebug>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScreen>
#include <QStackedLayout>
#include <QWindow>
#include <exception>
#include <utility>

namespace
{

QScreen* screenOf(const QWidget* w)
{
    if (const QWindow* handle = w->windowHandle()) {
        if (QScreen* s = handle->screen())
            return s;
    }
    if (QScreen* s = QGuiApplication::screenAt(w->geometry().center()))
        return s;
    return QGuiApplication::primaryScreen();
}

} // namespace

JWShowUi::JWShowUi(QWidget* parent)
    : QWidget(parent), m_overlay(std::make_unique<videoShowStatDialog>())
{
    setWindowTitle(QStringLiteral("Tovanel-演示模式"));
    setWindowIcon(QIcon(QStringLiteral(":/jw/icon")));
    resize(800, 600);
    setMinimumSize(500, 350);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect desk = screen->geometry();
        move(desk.x() + (desk.width() - width()) / 2, desk.y() + (desk.height() - height()) / 2);
    }
    // Stays on top from the start: changing a window's flags later makes its
    // native window anew and leaves the video surface's window behind, dead.
    setWindowFlags(Qt::Window | Qt::WindowStaysOnTopHint);
    // Closing the show window only hides it; with the main window in the tray it
    // would otherwise count as the last window and end the program.
    setAttribute(Qt::WA_QuitOnClose, false);
    m_normalGeometry = geometry();
    m_showTimer.setSingleShot(true);
    m_showTimer.setInterval(kShowWaitMs);
    connect(&m_showTimer, &QTimer::timeout, this, &JWShowUi::showWindow);

    m_scene = new QGraphicsScene(this);
    m_pictureView = new QGraphicsView(m_scene, this);
    m_pictureView->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_pictureView->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // A frame would take pixels from a picture fitted to the whole client area
    // and shift it against the rectangle the pointer is mapped onto.
    m_pictureView->setFrameShape(QFrame::NoFrame);
    // Keys belong to the window (Esc toggles full screen), not to the scene.
    m_pictureView->setFocusPolicy(Qt::NoFocus);
    m_videoSurface = new VlcWidgetVideo(this);
    // Clicks on the video reach the window (the player takes none): the same
    // click that the overlay answers where it has something drawn.
    m_videoSurface->setAttribute(Qt::WA_TransparentForMouseEvents, false);
    m_video.setSurface(m_videoSurface);
    m_stack = new QStackedLayout(this);
    m_stack->setContentsMargins(0, 0, 0, 0);
    m_stack->setStackingMode(QStackedLayout::StackAll);
    m_stack->addWidget(m_videoSurface);
    m_stack->addWidget(m_pictureView);
    // A native window covers whatever the window paints, the picture included:
    // the surface is shown only in video mode.
    m_videoSurface->hide();

    connect(&m_fetcher, &PictureFetcher::pictureReady, this, &JWShowUi::showPicture);
    connect(&m_fetcher, &PictureFetcher::done, this, &JWShowUi::reportPicture);
    connect(&m_video, &VideoController::pageReport, this, &JWShowUi::pageReport);
    m_windowCheck.setInterval(kWindowCheckMs);
    connect(&m_windowCheck, &QTimer::timeout, this, &JWShowUi::checkWindow);
    m_fetcher.setDecodeArea([this] { return showScreen()->geometry().size(); });

    VideoManage* overlay = m_overlay->scene();
    connect(&m_video, &VideoController::playRequested, this, [this] {
        m_fetcher.dropAll();
        if (m_pictureMode)
            showVideoPage();
    });
    connect(&m_video, &VideoController::stateChanged, this, &JWShowUi::followVideoState);
    connect(&m_video, &VideoController::durationChanged, overlay, &VideoManage::SetMediaTotalTime);
    connect(&m_video, &VideoController::timeChanged, overlay, &VideoManage::SetMediaTime);
    connect(&m_video, &VideoController::volumeSet, m_overlay.get(),
            [this](int volume) { m_overlay->paintVolume(uint(volume)); });
    connect(&m_video, &VideoController::muteChanged, m_overlay.get(), [this](bool muted) {
        if (muted)
            m_overlay->SetMuteImage(m_overlay->size());
        else
            m_overlay->RemoveMuteImage();
    });
    connect(overlay, &VideoManage::msg_playImageClicked, &m_video, &VideoController::play);
    connect(overlay, &VideoManage::msg_Pause, &m_video, &VideoController::pause);
    connect(overlay, &QGraphicsScene::changed, this, &JWShowUi::maskOverlay);
    connect(m_overlay.get(), &videoShowStatDialog::msg_keyEscPress, this,
            &JWShowUi::toggleFullScreen);
}

JWShowUi::~JWShowUi()
{
    // The parts go before the window they report to.
    m_fetcher.disconnect(this);
    m_video.disconnect(this);
}

void JWShowUi::apply(const cmd::ShowCommand& c)
{
    struct Apply {
        JWShowUi* w;
        VideoController& video;
        void operator()(const cmd::ShowState& s) const
        {
            if (s.close)
                w->close();
            if (s.target == cmd::ShowTarget::Shown)
                w->showWindow();
            else if (s.target == cmd::ShowTarget::Hidden)
                w->hideWindow();
            w->watchWindow(s.target);
        }
        void operator()(const cmd::ShowPicture& p) const
        {
            quint64 tag = 0;
            if (!p.from.isEmpty()) {
                tag = ++w->m_lastTag;
                w->m_pagePictures.insert(tag, {p.from, p.id});
            }
            w->m_fetcher.fetch(p.url, tag);
        }
        void operator()(const cmd::PlayVideo& v) const { w->startVideo(v); }
        void operator()(const cmd::VideoControl& v) const
        {
            switch (v.act) {
            case cmd::VideoAct::Play:
                return video.play();
            case cmd::VideoAct::Stop:
                return video.stop();
            case cmd::VideoAct::Pause:
                return video.pause();
            case cmd::VideoAct::Mute:
            case cmd::VideoAct::Unmute:
                return video.toggleMute();
            }
        }
        void operator()(const cmd::VideoStep& v) const { video.step(v.ms); }
        void operator()(const cmd::VideoSeek& v) const { video.seek(v.ms); }
        void operator()(const cmd::VideoVolume& v) const { video.setVolume(v.value); }
    };
    std::visit(Apply{this, m_video}, c);
}

void JWShowUi::showWindow()
{
    // A shown window is only brought to the front: hidden and shown again at once,
    // it would be mapped while the window manager still holds it (below).
    if (isVisible() && !isMinimized()) {
        raise();
        activateWindow();
        showOverlay();
        return;
    }
    // Hidden a moment ago, the window is mapped again only once the manager has
    // let go of it: mapped inside the manager's old frame it would come back
    // framed, at its normal size and not on top, the manager having dropped what
    // it was asked for when it let go. A manager that never does is not waited for
    // beyond a second.
    if (!isVisible() && m_showWaits < kMaxShowWaits && internalWinId() &&
        host::WindowHeldByManager(internalWinId())) {
        ++m_showWaits;
        if (!m_showTimer.isActive())
            m_showTimer.start();
        return;
    }
    m_showWaits = 0;
    m_showTimer.stop();
    if (m_autoFull)
        goFullScreen();
    else
        goNormal();
    // Above all others also where no window manager honours the hint: made at
    // start, the window lies beneath every window made after it (the main window,
    // shown where there is no tray).
    raise();
    activateWindow();
    setFocus(Qt::OtherFocusReason);
    showOverlay();
    if (m_pendingVideo)
        startVideo(*std::exchange(m_pendingVideo, std::nullopt));
}

void JWShowUi::hideWindow()
{
    cancelShow();
    hide();
}

// A show still waiting for the window manager is overtaken, and so is the video
// that waited for it.
void JWShowUi::cancelShow()
{
    m_showTimer.stop();
    m_showWaits = 0;
    m_pendingVideo.reset();
}

// Full screen and back are window-manager requests on X11; where none runs the
// window would keep its size, so the geometry is set as well.
void JWShowUi::goFullScreen()
{
    if (!m_fullScreen)
        m_normalGeometry = geometry();
    m_fullScreen = true;
    const QRect target = showScreen()->geometry();
    showFullScreen();
    setGeometry(target);
}

QScreen* JWShowUi::showScreen() const
{
    return m_targetScreen ? m_targetScreen.data() : screenOf(this);
}

void JWShowUi::setTargetScreen(QScreen* screen)
{
    m_targetScreen = screen;
    const QRect area = showScreen()->geometry();
    m_normalGeometry.moveCenter(area.center());
    if (isVisible() && m_fullScreen) {
        // A window manager keeps a full-screen window on its screen: it leaves
        // full screen to move, and takes it again there.
        showNormal();
        setGeometry(area);
        showFullScreen();
    }
    // Also where no window manager would move it; a hidden window is given its
    // place (it shows there), and the picture is laid out for it.
    setGeometry(m_fullScreen ? area : m_normalGeometry);
    refitToWindow(true);
}

void JWShowUi::goNormal()
{
    m_fullScreen = false;
    showNormal();
    setGeometry(m_normalGeometry);
}

void JWShowUi::toggleFullScreen()
{
    if (m_fullScreen)
        goNormal();
    else
        goFullScreen();
}

void JWShowUi::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        toggleFullScreen();
        return;
    }
    QWidget::keyPressEvent(event);
}

void JWShowUi::closeEvent(QCloseEvent* event)
{
    cancelShow();
    m_overlay->close();
    m_videoMode = false;
    m_video.close();
    // The show has ended: its pictures must not turn up over the idle picture or
    // at the start of the next show.
    m_fetcher.dropAll();
    // A window that shows the idle picture already is not laid out again: phones
    // that come and go close it many times over.
    if (!m_showingDefault)
        showDefaultImage();
    event->accept();
}

void JWShowUi::showDefaultImage()
{
    QImage image(QStringLiteral(":/jw/screen"));
    if (image.isNull())
        qCDebug(lcJwShow) << "default picture :/jw/screen is missing";
    showPicture(image);
    m_showingDefault = true;
}

void JWShowUi::showPicture(const QImage& image)
{
    try {
        if (m_video.state() == Vlc::Playing)
            m_video.pause();
        if (!m_pictureMode || !m_pictureView->isVisible()) {
            m_overlay->hide();
            m_videoMode = false;
            m_videoSurface->hide();
            m_stack->setCurrentWidget(m_pictureView);
            m_pictureView->show();
            m_pictureView->raise();
            repaint();
        }
        m_pictureMode = true;
        m_showingDefault = false;
        m_sourcePicture = QPixmap::fromImage(image);
        layOutPicture();
    } catch (const std::exception& e) {
        const QString text = QString::fromLocal8Bit(e.what());
        JWLOG::error(QStringLiteral("set ui image error.") + text);
        qCDebug(lcJwShow) << "set ui image error." << text;
        return;
    }
    repaint();
    emit pictureShown();
}

// Builds a new scene holding the source picture scaled to fit the client area
// and records where that picture lands on the screen.
void JWShowUi::layOutPicture()
{
    const int W = width();
    const int H = height();
    const QSize fit = fitSize(m_sourcePicture.width(), m_sourcePicture.height(), W, H);
    const QPixmap scaled =
        fit == m_sourcePicture.size()
            ? m_sourcePicture
            : m_sourcePicture.scaled(fit, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    auto* scene = new QGraphicsScene(this);
    scene->addPixmap(scaled);
    // The scene spans the client area with the picture at the same integer
    // offset the pointer mapping uses; letting the view centre a smaller scene
    // would round half pixels its own way.
    scene->setSceneRect(-(W - fit.width()) / 2, -(H - fit.height()) / 2, W, H);
    m_pictureView->setScene(scene);
    m_scene->deleteLater();
    m_scene = scene;
    m_laidOutFor = QSize(W, H);
    updateImageRect(fit.width(), fit.height());
}

void JWShowUi::updateImageRect(int pw, int ph)
{
    const QRect frame = frameGeometry();
    const int W = width();
    const int H = height();
    const int left = (W - pw) / 2 + x() + (frame.width() - W) / 2;
    const int top = (H - ph) / 2 + y() + (3 * (frame.height() - H)) / 4;
    if (m_pictureRect)
        m_pictureRect->set(left, top, pw, ph);
}

void JWShowUi::moveEvent(QMoveEvent* event)
{
    QWidget::moveEvent(event);
    if (isVisible())
        emit surfaceChanged();
    placeOverlay();
    refitToWindow(false);
}

void JWShowUi::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    if (isVisible())
        emit surfaceChanged();
    placeOverlay();
    refitToWindow(true);
}

void JWShowUi::refitToWindow(bool sizeChanged)
{
    if (!m_pictureMode || m_sourcePicture.isNull())
        return;
    if (!sizeChanged && m_laidOutFor == size()) {
        // A move keeps the picture's size: only its place on the screen changes,
        // and the picture is not scaled again for every step of a drag.
        const QSize fit =
            fitSize(m_sourcePicture.width(), m_sourcePicture.height(), width(), height());
        updateImageRect(fit.width(), fit.height());
        return;
    }
    layOutPicture();
    repaint();
}

void JWShowUi::startVideo(const cmd::PlayVideo& video)
{
    qCDebug(lcJwShow).noquote() << "Set Video file:" << video.url;
    JWLOG::debug("Set Video file:" + video.url);
    if (!video.url.isEmpty() && m_showTimer.isActive()) {
        // Asked for right after a show that waits for the window manager: it
        // starts once the window is up.
        m_pendingVideo = video;
        return;
    }
    if (video.url.isEmpty() || !isVisible())
        return;
    if (m_pictureMode) {
        m_overlay->scene()->ShowPlayImage(width(), height());
        showVideoPage();
    }
    m_video.open(video.url, video.sock, video.from);
}

void JWShowUi::showVideoPage()
{
    m_pictureView->hide();
    m_videoSurface->show();
    m_stack->setCurrentWidget(m_videoSurface);
    m_videoMode = true;
    m_pictureMode = false;
    m_showingDefault = false;
    showOverlay();
    emit surfaceChanged();
}

void JWShowUi::followVideoState(Vlc::State state)
{
    VideoManage* scene = m_overlay->scene();
    scene->sl_videState(state);
    const int W = width(), H = height();
    switch (state) {
    case Vlc::Playing:
        scene->RemovePlayImage();
        scene->ShowTimeText(W, H);
        break;
    case Vlc::Stopped:
        scene->ShowPlayImage(W, H);
        scene->RemoveTimeText();
        break;
    case Vlc::Paused:
    case Vlc::Ended:
        scene->ShowPlayImage(W, H);
        break;
    default:
        break;
    }
}

// The overlay covers the client area exactly (one pixel more on each side).
void JWShowUi::placeOverlay()
{
    const QRect frame = frameGeometry();
    const int W = width(), H = height();
    m_overlay->move(x() + (frame.width() - W) / 2 - 1, y() + (3 * (frame.height() - H)) / 4 - 1);
    m_overlay->resize(W + 2, H + 4);
}

void JWShowUi::showOverlay()
{
    if (!m_videoMode || !isVisible())
        return;
    placeOverlay();
    maskOverlay();
    m_overlay->show();
    m_overlay->raise();
}

// Only the decorations' own pixels are part of the overlay window. Where nothing
// composites windows, a translucent one is drawn black and would hide the video
// (a box around each sign, if the mask were their rectangles); where something
// does, the rest would be invisible anyway. Clicks elsewhere reach the video
// itself, which answers them the same way.
void JWShowUi::maskOverlay()
{
    const QPoint offset = m_overlay->view()->mapTo(m_overlay.get(), QPoint(0, 0));
    QRegion shown = m_overlay->scene()->drawnRegion().translated(offset);
    if (shown.isEmpty())
        shown = QRegion(0, 0, 1, 1); // an empty mask would mean no mask at all
    if (shown != m_overlay->mask())
        m_overlay->setMask(shown);
}

void JWShowUi::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    emit surfaceChanged();
}

void JWShowUi::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    emit surfaceChanged();
    m_overlay->hide();
    if (m_videoMode)
        m_video.pause();
}

void JWShowUi::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && isMinimized() && m_videoMode &&
        !m_pictureMode)
        m_overlay->hide();
    // Activated, a window manager raises it: over the boards, too, which go back
    // over it.
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        emit surfaceChanged();
}

void JWShowUi::mouseReleaseEvent(QMouseEvent* event)
{
    if (!m_videoMode || event->button() != Qt::LeftButton) {
        QWidget::mouseReleaseEvent(event);
        return;
    }
    if (m_overlay->scene()->playImageShown())
        m_video.play();
    else if (m_video.state() == Vlc::Playing)
        m_video.pause();
}

void JWShowUi::reportPicture(quint64 tag, PictureFetcher::Outcome outcome, int httpStatus)
{
    const auto asker = m_pagePictures.take(tag);
    if (tag == 0 || asker.first.isEmpty())
        return;
    using O = PictureFetcher::Outcome;
    static const QHash<int, const char*> kReasons{
        {int(O::NotFound), proto::kNotFound}, {int(O::NotPicture), proto::kNotPicture},
        {int(O::TooLarge), proto::kTooLarge}, {int(O::Unreachable), proto::kCannotConnect},
        {int(O::TooSlow), proto::kTooSlow},   {int(O::NotWebAddress), proto::kNotWebAddress},
        {int(O::Dropped), proto::kCancelled},
    };
    cmd::PageReport r;
    r.act = QLatin1String(proto::kActImage);
    r.to = asker.first;
    r.id = asker.second;
    r.ok = outcome == O::Shown;
    r.value = QLatin1String(r.ok ? proto::kShown : proto::kFailed);
    if (outcome == O::HttpError)
        r.reason = QStringLiteral("HTTP %1").arg(httpStatus);
    else if (!r.ok)
        r.reason = QLatin1String(kReasons.value(int(outcome)));
    emit pageReport(r);
}

// A hide is told at once; a show once the window is up as it was asked to be (full
// screen or not), or, past the time a window manager may take, as it came up.
void JWShowUi::watchWindow(cmd::ShowTarget target)
{
    if (target == cmd::ShowTarget::Keep)
        return;
    m_windowChecks = 0;
    if (target == cmd::ShowTarget::Hidden) {
        m_windowCheck.stop();
        emit pageReport(cmd::PageReport{QLatin1String(proto::kActWindow), QString(), QString(),
                                        true, QLatin1String(proto::kHidden), QString()});
        return;
    }
    m_windowCheck.start();
}

void JWShowUi::checkWindow()
{
    const bool up = isVisible() && !isMinimized() && windowHandle() && windowHandle()->isExposed();
    const bool full = up && m_fullScreen && geometry() == showScreen()->geometry();
    const bool settled = up && (full || !m_autoFull);
    if (!settled && ++m_windowChecks < kWindowSettleMs / kWindowCheckMs)
        return;
    m_windowCheck.stop();
    cmd::PageReport r;
    r.act = QLatin1String(proto::kActWindow);
    r.value = QLatin1String(!up ? proto::kHidden : full ? proto::kFull : proto::kWindowed);
    r.ok = settled;
    if (!r.ok)
        r.reason = QLatin1String(up ? proto::kNotFullScreen : proto::kNotShown);
    emit pageReport(r);
}
