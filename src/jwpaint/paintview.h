#pragma once
// One controller's whiteboard: a frameless window over the whole screen whose
// scene coordinates are screen pixels, so that a stroke lands on the point of the
// shown picture the controller drew on.

#include <QGraphicsView>
#include <QMainWindow>
#include <QPixmap>
#include <QPointer>
#include <QRegion>
#include <QTimer>

#include "protocol/commands.h"

#include <memory>

class GraphicsSceen;
class InkBudget;
class QScreen;

class GraphicsView : public QGraphicsView
{
    Q_OBJECT
public:
    explicit GraphicsView(QWidget* parent);
};

class PaintView : public QMainWindow
{
    Q_OBJECT
public:
    // composited: whether the desktop shows what lies beneath a translucent
    // window. Where it does not, the board is painted over a picture of the
    // screen instead (setUnderlay), or it would black the screen out; where that
    // picture is not known to be on the screen, the board shows only its ink.
    // What it draws is paid from ink (a budget of its own when null).
    explicit PaintView(bool composited, std::shared_ptr<InkBudget> ink = {},
                       QWidget* parent = nullptr);

    GraphicsSceen* drawingScene() const { return scene; }
    // screen: a picture of the screen whose top-left lies at origin; known: where
    // it shows what is on the screen (screen coordinates).
    void setUnderlay(const QPixmap& screen, const QRegion& known, const QPoint& origin = {});
    // The screen the board covers (none: the primary); an open board moves there.
    void setScreen(QScreen* screen);

    // What its controller asks of the board: opened, it covers the screen.
    void apply(const cmd::BoardAction& action);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void endStroke();
    void followGeometry();
    void goFullScreen();
    void goNormal();
    QScreen* boardScreen() const;
    bool underlayCoversWindow() const;
    QRegion inkRegion() const;
    void inkChanged();
    void updateShape();

    GraphicsView* view = nullptr;   // child
    GraphicsSceen* scene = nullptr; // child
    int drawState = 2;              // 0 after a start, 1 while points arrive, 2 after an end
    const bool composited;
    bool fullScreen = false; // meant to be; what Esc toggles
    bool shaped = false;     // shown only where it knows what is beneath, and on its ink
    QRegion knownArea;       // where the underlay shows what is on the screen
    QRegion inkArea;         // the pixels of the board's ink, screen coordinates
    bool inkKnown = false;   // inkArea is up to date
    static constexpr int kShapeDelayMs = 40;
    QTimer shapeTimer;      // the ink's shape measured again when it runs out
    qint64 lastShapeMs = 0; // what measuring it cost the last time
    // The screen it covers; none: the primary.
    QPointer<QScreen> target;
};
