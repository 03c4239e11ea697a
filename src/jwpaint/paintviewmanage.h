#pragma once
// The whiteboard manager: receives the whiteboard commands as signals from the
// worker threads and keeps one whiteboard window per controller.

#include <QDialog>

class paintViewManage : public QDialog {
    Q_OBJECT
public:
    explicit paintViewManage(QWidget* parent = nullptr);
    void InitConnect();

signals:
    void msg_startDraw(QString id, int x, int y);
    void msg_endDraw(QString id);
    void msg_drawing(QString id, int x, int y);
    void msg_setcolor(QString id, int r, int g, int b);
    void msg_penwidth(QString id, int width);
    void msg_shape(QString id, int shap);
    void msg_undo(QString id);
    void msg_clear(QString id);
    void msg_startWhiteboard(QString id);
    void msg_endWhiteboard(QString id);
    void msg_windowSize(QString id, int x, int y, int w, int h);
    void msg_close(QString id);
    void msg_closeAll();
    void msg_startText(QString id, int x, int y);
    void msg_setText(QString id, QString text);
    void msg_endText(QString id);
    void msg_redraw(QString id);
};
