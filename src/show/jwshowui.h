#pragma once
// The presentation window: pictures (and, later, videos) full screen.
// Worker threads reach it only by emitting its msg_* signals, each connected to
// the slot of the same meaning on the GUI thread.

#include "server/jwmess.h"

#include <QImage>
#include <QWidget>

class JWShowUi : public QWidget {
    Q_OBJECT
public:
    explicit JWShowUi(QWidget* parent = nullptr);
    ~JWShowUi() override;

    void initShowUi();
    void showDefaultImage();

signals:
    void msg_image(QImage image);
    void msg_show();
    void msg_close();
    void msg_hide();
    void msg_addJwMess(uint sock, QString url);
    void msg_keyEscPress();
    void msg_setVideoFile(QString url, int sock, QString from);
    void msg_play();
    void msg_stop();
    void msg_pause();
    void msg_SetFast(qint64 time);
    void msg_Setvolume(int value);
    void msg_setMute();
    void msg_releaseMute();
    void msg_setPosition(qint64 time);

public slots:
    void showui();
    void SetImage(QImage image);
    void addDataToQueue(uint sock, QString url);

    // ... the show window's own members (show/ owns this file)
};
