#include "jwpaint/paintviewmanage.h"

paintViewManage::paintViewManage(QWidget* parent) : QDialog(parent)
{
    setWindowFlags(windowFlags() | Qt::WindowStaysOnTopHint);
}

// The whiteboard windows and their slots arrive with the whiteboard itself; until
// then the signals are routed here and nothing is drawn.
void paintViewManage::InitConnect() {}
