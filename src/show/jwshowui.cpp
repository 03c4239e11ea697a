#include "show/jwshowui.h"

#include "base/jwdebug.h"
#include "base/jwlog.h"
#include "base/showimagerect.h"
#include "host/memory.h"
#include "show/fitsize.h"
#include "show/videomanage.h"
#include "show/vlc/vlcinstance.h"
#include "show/vlc/vlcmedia.h"
#include "show/vlc/vlcmediaplayer.h"
#include "show/vlc/vlcwidgetvideo.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QIcon>
#include <QKeyEvent>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QScreen>
#include <QStackedLayout>
#include <QThread>
#include <QTimer>
#include <QWindow>
#include <exception>

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

bool isWebAddress(const QUrl& url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https")) &&
           !url.host().isEmpty();
}

} // namespace

JWShowUi::JWShowUi(QWidget* parent) : QWidget(parent)
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

    m_stack = new QStackedLayout(this);
    m_stack->setContentsMargins(0, 0, 0, 0);
    m_stack->setStackingMode(QStackedLayout::StackAll);
}

JWShowUi::~JWShowUi() = default;

void JWShowUi::initShowUi()
{
    m_scene = new QGraphicsScene(this);
    m_pictureMode = true;
    m_pictureView = new QGraphicsView();
    m_pictureView->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_pictureView->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // A frame would take pixels from a picture fitted to the whole client area
    // and shift it against the rectangle the pointer is mapped onto.
    m_pictureView->setFrameShape(QFrame::NoFrame);
    // Keys belong to the window (Esc toggles full screen), not to the scene.
    m_pictureView->setFocusPolicy(Qt::NoFocus);
    m_pictureView->setScene(m_scene);

    initVideo();
    m_stack->addWidget(m_videoSurface);
    m_stack->addWidget(m_pictureView);
    // A native window covers whatever the window paints, the picture included:
    // the surface is shown only in video mode.
    m_videoSurface->hide();

    connect(this, &JWShowUi::msg_image, this, &JWShowUi::SetImage);
    connect(this, &JWShowUi::msg_show, this, &JWShowUi::showui);
    connect(this, &JWShowUi::msg_close, this, &JWShowUi::sl_windowClose);
    connect(this, &JWShowUi::msg_hide, this, &JWShowUi::sl_windowhide);
    connect(this, &JWShowUi::msg_addJwMess, this, &JWShowUi::addDataToQueue);
    connect(this, &JWShowUi::msg_keyEscPress, this, &JWShowUi::sl_keyEscPress);
    connect(&m_network, &QNetworkAccessManager::finished, this, &JWShowUi::httpfinished);

    QMutexLocker lock(&m_queueLock);
    m_fetchBusy = false;
    m_videoMode = false;
}

void JWShowUi::apply(const cmd::ShowCommand& c)
{
    struct Apply {
        JWShowUi* w;
        void operator()(const cmd::ShowState& s) const
        {
            if (s.close)
                w->sl_windowClose();
            if (s.target == cmd::ShowTarget::Shown)
                w->showui();
            else if (s.target == cmd::ShowTarget::Hidden)
                w->sl_windowhide();
        }
        void operator()(const cmd::ShowPicture& p) const { w->addDataToQueue(p.sock, p.url); }
        void operator()(const cmd::PlayVideo& v) const { w->SetVideoFile(v.url, v.sock, v.from); }
        void operator()(const cmd::VideoControl& v) const
        {
            switch (v.act) {
            case cmd::VideoAct::Play:
                w->playvideo();
                break;
            case cmd::VideoAct::Stop:
                w->Stopvideo();
                break;
            case cmd::VideoAct::Pause:
                w->Pausevideo();
                break;
            case cmd::VideoAct::Mute:
                w->SetMute();
                break;
            case cmd::VideoAct::Unmute:
                w->ReleaseMute();
                break;
            }
        }
        void operator()(const cmd::VideoStep& v) const { w->setFast(v.ms); }
        void operator()(const cmd::VideoSeek& v) const { w->SetVideoCurrentPosition(v.ms); }
        void operator()(const cmd::VideoVolume& v) const { w->Setvolume(v.value); }
    };
    std::visit(Apply{this}, c);
}

void JWShowUi::showui()
{
    hide();
    if (!(windowFlags() & Qt::WindowStaysOnTopHint))
        setWindowFlags(windowFlags() | Qt::WindowStaysOnTopHint);
    if (m_autoFull)
        goFullScreen();
    else
        goNormal();
    activateWindow();
    setFocus(Qt::OtherFocusReason);
    showOverlay();
}

// Full screen and back are window-manager requests on X11; where none runs the
// window would keep its size, so the geometry is set as well.
void JWShowUi::goFullScreen()
{
    if (!m_fullScreen)
        m_normalGeometry = geometry();
    m_fullScreen = true;
    const QRect target = screenOf(this)->geometry();
    showFullScreen();
    setGeometry(target);
}

void JWShowUi::goNormal()
{
    m_fullScreen = false;
    showNormal();
    setGeometry(m_normalGeometry);
}

void JWShowUi::sl_keyEscPress()
{
    if (m_fullScreen)
        goNormal();
    else
        goFullScreen();
}

void JWShowUi::sl_windowhide()
{
    hide();
}

void JWShowUi::sl_windowClose()
{
    close();
}

void JWShowUi::closeEvent(QCloseEvent* event)
{
    if (m_overlay)
        m_overlay->close();
    m_videoMode = false;
    if (m_player) {
        const Vlc::State state = m_player->state();
        if (state == Vlc::Playing || state == Vlc::Paused) {
            m_player->stop();
            qCDebug(lcJwShow) << "stop video ................";
        }
        // Nothing of a departed controller's video stays open: no decoder, no
        // stream, no address to reopen.
        m_media.reset();
        m_videoUrl.clear();
        m_requesterSock = 0;
    }
    // The show has ended: its pictures must not turn up over the idle picture or
    // at the start of the next show.
    dropPictures();
    // No events are run from inside the close: a show handled there would be
    // undone by the close completing after it, leaving the window hidden. A window
    // that shows the idle picture already is not laid out again: phones that come
    // and go close it many times over.
    if (!m_showingDefault) {
        m_closing = true;
        showDefaultImage();
        m_closing = false;
    }
    event->accept();
}

void JWShowUi::dropPictures()
{
    QNetworkReply* download = nullptr;
    {
        QMutexLocker lock(&m_queueLock);
        m_pictureQueue.clear();
        download = m_download;
        m_download = nullptr;
        m_fetchBusy = false;
    }
    // Aborting finishes the reply at once, back through httpfinished (which no
    // longer knows it), so the lock is released first. A reply that has already
    // finished (a close from inside SetImage) ignores the abort.
    if (download)
        download->abort();
}

void JWShowUi::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        sl_keyEscPress();
        return;
    }
    QWidget::keyPressEvent(event);
}

void JWShowUi::showDefaultImage()
{
    QImage image(QStringLiteral(":/jw/screen"));
    if (image.isNull())
        qCDebug(lcJwShow) << "default picture :/jw/screen is missing";
    SetImage(image);
    m_pictureMode = true;
    m_showingDefault = true;
}

void JWShowUi::SetImage(QImage image)
{
    if (!m_pictureView)
        return; // not set up yet
    {
        QMutexLocker lock(&m_pictureLock);
        try {
            if (m_player && m_player->state() == Vlc::Playing)
                Pausevideo();
            if (!m_pictureMode || !m_pictureView->isVisible()) {
                if (m_overlay)
                    m_overlay->hide();
                m_videoMode = false;
                if (m_videoSurface)
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
    }
    // Pending events run only after the lock is released: a queued close among
    // them shows the default picture, which comes back into this function.
    if (!m_closing)
        QCoreApplication::processEvents();
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
    if (m_scene)
        m_scene->deleteLater();
    m_scene = scene;
    m_pictureView->setScene(scene);
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
    placeOverlay();
    refitToWindow(false);
}

void JWShowUi::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    placeOverlay();
    refitToWindow(true);
}

void JWShowUi::refitToWindow(bool sizeChanged)
{
    if (!m_pictureView || !m_pictureMode || m_sourcePicture.isNull())
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

void JWShowUi::addDataToQueue(SOCKET sock, QString url)
{
    {
        QMutexLocker lock(&m_queueLock);
        JwMess request;
        request.sock = sock;
        request.url = url;
        m_pictureQueue.append(request);
        // A controller sending addresses faster than pictures load must not grow
        // the queue without end.
        // (Taken out before it is logged: a disabled category evaluates nothing.)
        while (m_pictureQueue.size() > kMaxPendingPictures) {
            const QString dropped = m_pictureQueue.takeFirst().url;
            qCDebug(lcJwShow) << "picture request dropped, too many waiting:" << dropped;
        }
    }
    requestNextImage();
}

int JWShowUi::pendingPictures() const
{
    QMutexLocker lock(&m_queueLock);
    return m_pictureQueue.size();
}

bool JWShowUi::isFetching() const
{
    QMutexLocker lock(&m_queueLock);
    return m_fetchBusy;
}

void JWShowUi::requestNextImage()
{
    QMutexLocker lock(&m_queueLock);
    if (m_pictureQueue.isEmpty()) {
        m_fetchBusy = false;
        return;
    }
    // Requests that cannot be fetched are dropped here and the next one is
    // tried at once; otherwise the queue would stall until the next request.
    while (!m_fetchBusy && !m_pictureQueue.isEmpty()) {
        const JwMess request = m_pictureQueue.takeFirst();
        if (request.url.isEmpty())
            continue;
        const QUrl url(request.url.trimmed(), QUrl::TolerantMode);
        // Only web addresses: a controller must not make us read local files.
        if (!isWebAddress(url)) {
            qCDebug(lcJwShow) << "picture address refused:" << request.url;
            continue;
        }
        m_fetchBusy = true;
        QNetworkRequest httpRequest(url);
        httpRequest.setTransferTimeout(m_transferTimeoutMs);
        lock.unlock();
        QNetworkReply* reply = m_network.get(httpRequest);
        lock.relock();
        m_download = reply;
        lock.unlock();
        guardDownload(reply);
        return;
    }
}

// Gives up a download whose body is larger than any picture we are willing to
// hold, or that is still running at the deadline. Aborting finishes the reply as
// failed, so the queue moves on through httpfinished.
void JWShowUi::guardDownload(QNetworkReply* reply)
{
    // The reply is the timer's context: a reply deleted earlier cancels it.
    QTimer::singleShot(m_downloadDeadlineMs, reply, [reply]() {
        if (!reply->isFinished()) {
            qCDebug(lcJwShow) << "picture download took too long:" << reply->url().toString();
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::metaDataChanged, this, [reply]() {
        if (reply->isFinished())
            return;
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > kMaxPictureBytes) {
            qCDebug(lcJwShow) << "picture too large:" << length.toLongLong() << "bytes";
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::downloadProgress, this, [reply](qint64 received, qint64 total) {
        if (!reply->isFinished() && (received > kMaxPictureBytes || total > kMaxPictureBytes)) {
            qCDebug(lcJwShow) << "picture too large:" << qMax(received, total) << "bytes";
            reply->abort();
        }
    });
}

void JWShowUi::httpfinished(QNetworkReply* reply)
{
    {
        QMutexLocker lock(&m_queueLock);
        if (reply != m_download) {
            reply->deleteLater(); // given up when the window closed
            return;
        }
    }
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const bool httpOk = !status.isValid() || (status.toInt() >= 200 && status.toInt() < 300);
    if (reply->error() == QNetworkReply::NoError && httpOk) {
        QImage image;
        if (DecodePicture(reply->readAll(), &image, nullptr, screenOf(this)->geometry().size()))
            SetImage(image);
    } else {
        qCDebug(lcJwShow) << "picture download failed:" << reply->url().toString()
                          << reply->errorString();
    }
    // A download leaves up to its bound behind in the allocator (a hostile server
    // fills it): once the reply is gone, that memory goes back to the system, and
    // once more a moment later, when the network thread has let go of its buffers.
    connect(reply, &QObject::destroyed, this, [this] {
        QTimer::singleShot(0, this, [] { host::ReleaseFreeMemory(); });
        QTimer::singleShot(1000, this, [] { host::ReleaseFreeMemory(); });
    });
    reply->deleteLater();
    {
        QMutexLocker lock(&m_queueLock);
        // Busy until the picture is shown: SetImage processes events, and a request
        // arriving then must not start a second download. A close among those
        // events has let go of this download, and a request after it may already
        // be fetching: the queue is then no longer ours to move on.
        if (reply != m_download)
            return;
        m_download = nullptr;
        m_fetchBusy = false;
    }
    requestNextImage();
}
