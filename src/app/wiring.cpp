#include "app/wiring.h"

#include "base/jwlog.h"
#include "jwpaint/paintviewmanage.h"
#include "server/jwdatamanage.h"
#include "show/jwshowui.h"
#include "ui/jwlogui.h"
#include "ui/mainwindow.h"

#include <QGuiApplication>
#include <QScreen>

// The dispatcher hands its work to the GUI thread itself (in order, bounded) and
// emits its signals there, so each is connected straight to the window's signal
// of the same meaning, which the window has connected to its slot.
void ConnectWorkers(JWShowUi* show, paintViewManage* paint, MainWindow* main)
{
    JWdataManage* dm = JWdataManage::GetInstance();
    using D = JWdataManage;
    QObject::connect(dm, &D::msg_show, show, &JWShowUi::msg_show);
    QObject::connect(dm, &D::msg_hide, show, &JWShowUi::msg_hide);
    QObject::connect(dm, &D::msg_closeShow, show, &JWShowUi::msg_close);
    QObject::connect(dm, &D::msg_addJwMess, show, &JWShowUi::msg_addJwMess);
    QObject::connect(dm, &D::msg_setVideoFile, show, &JWShowUi::msg_setVideoFile);
    QObject::connect(dm, &D::msg_play, show, &JWShowUi::msg_play);
    QObject::connect(dm, &D::msg_stop, show, &JWShowUi::msg_stop);
    QObject::connect(dm, &D::msg_pause, show, &JWShowUi::msg_pause);
    QObject::connect(dm, &D::msg_SetFast, show, &JWShowUi::msg_SetFast);
    QObject::connect(dm, &D::msg_setPosition, show, &JWShowUi::msg_setPosition);
    QObject::connect(dm, &D::msg_Setvolume, show, &JWShowUi::msg_Setvolume);
    QObject::connect(dm, &D::msg_setMute, show, &JWShowUi::msg_setMute);
    QObject::connect(dm, &D::msg_releaseMute, show, &JWShowUi::msg_releaseMute);
    // The video's reports go to the controller that started it, like any reply.
    QObject::connect(show, &JWShowUi::msg_videoInfo, dm,
                     [dm](SOCKET sock, const QString& report) { dm->SendData(sock, report); });

    // Where nothing composites windows, boards are painted over the shown picture,
    // and only where it is on the screen now.
    paint->setUnderlaySource([show] {
        const QScreen* screen = QGuiApplication::primaryScreen();
        paintViewManage::Underlay under;
        under.picture = QPixmap(screen ? screen->geometry().size() : QSize(1, 1));
        under.picture.fill(Qt::black);
        if (!show->isVisible() || show->isMinimized())
            return under;
        // Rendered straight in, with grab()'s flags: a grab would be a second full-screen
        // image whose pages each board maps afresh (a closed board's memory goes back).
        show->render(&under.picture, show->geometry().topLeft(), QRegion(),
                     QWidget::DrawWindowBackground | QWidget::DrawChildren | QWidget::IgnoreMask);
        // A video is drawn by the player straight to the screen: no picture of it.
        if (show->isPictureMode())
            under.known = QRegion(show->geometry());
        return under;
    });
    QObject::connect(show, &JWShowUi::pictureShown, paint, &paintViewManage::sl_underlayChanged);
    QObject::connect(show, &JWShowUi::surfaceChanged, paint,
                     &paintViewManage::sl_underlayChangedSoon);

    using P = paintViewManage;
    QObject::connect(dm, &D::msg_startWhiteboard, paint, &P::msg_startWhiteboard);
    QObject::connect(dm, &D::msg_endWhiteboard, paint, &P::msg_endWhiteboard);
    QObject::connect(dm, &D::msg_startDraw, paint, &P::msg_startDraw);
    QObject::connect(dm, &D::msg_drawing, paint, &P::msg_drawing);
    QObject::connect(dm, &D::msg_endDraw, paint, &P::msg_endDraw);
    QObject::connect(dm, &D::msg_shape, paint, &P::msg_shape);
    QObject::connect(dm, &D::msg_clear, paint, &P::msg_clear);
    QObject::connect(dm, &D::msg_setcolor, paint, &P::msg_setcolor);
    QObject::connect(dm, &D::msg_undo, paint, &P::msg_undo);
    QObject::connect(dm, &D::msg_penwidth, paint, &P::msg_penwidth);
    QObject::connect(dm, &D::msg_redraw, paint, &P::msg_redraw);
    QObject::connect(dm, &D::msg_startText, paint, &P::msg_startText);
    QObject::connect(dm, &D::msg_setText, paint, &P::msg_setText);
    QObject::connect(dm, &D::msg_endText, paint, &P::msg_endText);

    QObject::connect(dm, &D::msg_addUser, main, &MainWindow::msg_addUser);
    QObject::connect(dm, &D::msg_removeUser, main, &MainWindow::msg_removeUser);
    QObject::connect(dm, &D::msg_ChangeResolution, main, &MainWindow::msg_ChangeResolution);
    QObject::connect(dm, &D::msg_ReductionResolution, main, &MainWindow::msg_ReductionResolution);
    QObject::connect(dm, &D::msg_localIp, main, &MainWindow::msg_localIp);
    QObject::connect(dm, &D::msg_localIpChanged, main, &MainWindow::msg_localIpChanged);
}

// The log window takes the waiting lines in one go, however many arrived.
void ConnectLogWindow(JWLOGUI* logUi)
{
    LogWindowFeed* feed = LogWindowFeed::instance();
    QObject::connect(
        feed, &LogWindowFeed::linesWaiting, logUi,
        [feed, logUi] { logUi->appendLines(feed->take()); }, Qt::QueuedConnection);
}

void DisconnectWorkers()
{
    QObject::disconnect(JWdataManage::GetInstance(), nullptr, nullptr, nullptr);
    QObject::disconnect(LogWindowFeed::instance(), nullptr, nullptr, nullptr);
}
