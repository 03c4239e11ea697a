#pragma once
// The drawing surface of one whiteboard window: the strokes and texts of one controller,
// its drawing settings, undo and redo of whole items, and local drawing with the mouse.
// Scene coordinates are screen pixels: the window keeps the scene rectangle equal to its
// own geometry. Everything here runs on the GUI thread.
// What a board draws is paid from an ink budget shared by all boards (inkbudget.h):
// points and texts past it are ignored until a board is cleared or closed.

#include <QColor>
#include <QGraphicsScene>
#include <QPointF>

#include "jwpaint/inkbudget.h"
#include "protocol/commands.h"

#include <memory>
#include <vector>

class QGraphicsItem;
class QGraphicsSceneMouseEvent;
class ShapeBase;
class Text;

class GraphicsSceen : public QGraphicsScene
{
    Q_OBJECT
public:
    // Without a budget the board has one of its own, of the default size.
    explicit GraphicsSceen(QWidget* parent, std::shared_ptr<InkBudget> budget = {});
    ~GraphicsSceen() override;

    void startDraw(QPointF point);
    void drawing(QPointF point);
    void endDraw();
    void undo();
    void redraw();
    void clearBoard();
    void setColor(QColor newColor);
    // Components outside 0..255 are clamped; the colour is opaque.
    void setColor(int r, int g, int b);
    void setPenWidth(int width);
    void setShape(cmd::Shape shape);
    void setDrawRect(double x, double y, int width, int height);
    void startText(QPointF point);
    void setText(const QString& text);
    void endText();

    QColor drawColor() const { return color; }
    int drawPenWidth() const { return penWidth; }
    cmd::Shape drawShape() const { return shape; }
    bool strokeRunning() const { return isDrawing; }
    ShapeBase* strokeItem() const { return currentItem; }
    Text* openText() const { return textItem; }
    int undoneCount() const { return int(undoneItems.size()); }
    // Units this board holds of its budget: what it drew since it was last cleared.
    qint64 inkHeld() const { return held; }

protected:
    void mousePressEvent(QGraphicsSceneMouseEvent* event) override;
    void mouseMoveEvent(QGraphicsSceneMouseEvent* event) override;
    void mouseReleaseEvent(QGraphicsSceneMouseEvent* event) override;

private:
    void dropUndone();
    bool takeInk(qint64 units);
    void giveBackInk(qint64 units);

    // The redo stack, newest last. Items off the board belong here; the board owns the rest.
    std::vector<std::unique_ptr<QGraphicsItem>> undoneItems;
    QColor color;
    int penWidth = 2;
    cmd::Shape shape = cmd::Shape::Curve;
    ShapeBase* currentItem = nullptr; // the running or last stroke; never owns
    bool isDrawing = false;
    Text* textItem = nullptr; // the text setText writes into; never owns
    qint64 textChars = 0;     // the characters of textItem paid for
    std::shared_ptr<InkBudget> ink;
    qint64 held = 0;
    bool inkRefused = false; // since the last unit taken: the refusal is logged once
};
