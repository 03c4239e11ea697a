#include "jwpaint/graphicssceen.h"

#include "base/jwdebug.h"
#include "jwpaint/shapes.h"

#include <QGraphicsSceneMouseEvent>
#include <QWidget>

#include <algorithm>

namespace
{

struct NewShape {
    std::unique_ptr<QGraphicsItem> item;
    ShapeBase* shape = nullptr;
};

template <class T> NewShape make()
{
    auto* shape = new T;
    return {std::unique_ptr<QGraphicsItem>(shape), shape};
}

NewShape createShape(cmd::Shape shape)
{
    switch (shape) {
    case cmd::Shape::Line:
        qCDebug(lcJwShow) << "xline";
        return make<StringLine>();
    case cmd::Shape::Ellipse:
        return make<Ellipse>();
    case cmd::Shape::Rect:
        qCDebug(lcJwShow) << "jwRect";
        return make<Rect>();
    case cmd::Shape::Curve:
        break;
    }
    qCDebug(lcJwShow) << "jwCurves";
    return make<Curves>();
}

} // namespace

GraphicsSceen::GraphicsSceen(QWidget* parent, std::shared_ptr<InkBudget> budget)
    : QGraphicsScene(parent), color(Qt::red),
      ink(budget ? std::move(budget) : std::make_shared<InkBudget>())
{
    if (parent)
        setDrawRect(parent->pos().x(), parent->pos().y(), parent->width(), parent->height());
}

// Redo items go before the base destroys the board.
GraphicsSceen::~GraphicsSceen()
{
    giveBackInk(held);
}

bool GraphicsSceen::takeInk(qint64 units)
{
    if (!ink->take(units)) {
        if (!inkRefused)
            qCDebug(lcJwShow)
                << "whiteboard full: drawing ignored until a board is cleared or closed,"
                << ink->used() << "of" << ink->limit() << "units in use";
        inkRefused = true;
        return false;
    }
    held += units;
    inkRefused = false;
    return true;
}

void GraphicsSceen::giveBackInk(qint64 units)
{
    ink->giveBack(units);
    held -= units;
}

void GraphicsSceen::setDrawRect(double x, double y, int width, int height)
{
    setSceneRect(x, y, qreal(std::max(width, 0)), qreal(std::max(height, 0)));
}

void GraphicsSceen::startDraw(QPointF point)
{
    qCDebug(lcJwShow).nospace() << "**********************Pos start:::X:" << point.x()
                                << ":::Y::" << point.y();
    if (isDrawing)
        return;
    NewShape made = createShape(shape);
    if (!takeInk(1))
        return;
    made.shape->setColor(color, penWidth);
    made.shape->beginDraw(point);
    addItem(made.item.release());
    currentItem = made.shape;
    isDrawing = true;
    dropUndone();
}

void GraphicsSceen::drawing(QPointF point)
{
    if (!isDrawing)
        return;
    if (currentItem && takeInk(1))
        currentItem->drawTo(point);
}

void GraphicsSceen::endDraw()
{
    qCDebug(lcJwShow) << "end end end end end end end +++++++++++++++++++++";
    isDrawing = false;
}

// The topmost item goes: texts (z 1000) before strokes, the newest first among equals.
// An item goes whole, with any children it has.
void GraphicsSceen::undo()
{
    const QList<QGraphicsItem*> all = items(Qt::DescendingOrder);
    if (all.isEmpty())
        return;
    QGraphicsItem* top = all.first()->topLevelItem();
    undoneItems.emplace_back(top);
    removeItem(top);
}

void GraphicsSceen::redraw()
{
    if (undoneItems.empty())
        return;
    QGraphicsItem* item = undoneItems.back().release();
    undoneItems.pop_back();
    addItem(item);
}

void GraphicsSceen::clearBoard()
{
    currentItem = nullptr;
    textItem = nullptr;
    clear();
    dropUndone();
    giveBackInk(held);
}

// Dropped items are destroyed, and the references that still point at one of them go
// with them (an undone running stroke or open text, then dropped by a new stroke).
void GraphicsSceen::dropUndone()
{
    std::vector<std::unique_ptr<QGraphicsItem>> dropped;
    dropped.swap(undoneItems);
    for (const auto& item : dropped) {
        if (item.get() == textItem)
            textItem = nullptr;
        if (currentItem && dynamic_cast<ShapeBase*>(item.get()) == currentItem)
            currentItem = nullptr;
    }
}

void GraphicsSceen::setColor(QColor newColor)
{
    // An invalid colour would paint black; the previous one stays instead.
    if (newColor.isValid())
        color = newColor;
}

void GraphicsSceen::setColor(int r, int g, int b)
{
    color = QColor(std::clamp(r, 0, 255), std::clamp(g, 0, 255), std::clamp(b, 0, 255), 255);
}

void GraphicsSceen::setPenWidth(int width)
{
    penWidth = width < 1 ? 2 : std::min(width, jwpaint::kMaxDrawSize);
}

void GraphicsSceen::setShape(cmd::Shape newShape)
{
    shape = newShape;
}

void GraphicsSceen::startText(QPointF point)
{
    if (!takeInk(InkBudget::kTextCost))
        return;
    auto* text = new Text;
    text->setZValue(1000.0);
    text->setPos(point);
    text->setColor(color, std::max(penWidth, 16));
    addItem(text);
    textItem = text;
    textChars = 0;
}

// A text is paid for by its characters: a longer one takes the difference, a
// shorter one gives it back.
void GraphicsSceen::setText(const QString& text)
{
    if (!textItem)
        return;
    const qint64 more = text.size() - textChars;
    if (more > 0 && !takeInk(more))
        return;
    if (more < 0)
        giveBackInk(-more);
    textChars = text.size();
    textItem->setText(text);
}

void GraphicsSceen::endText()
{
    textItem = nullptr;
}

void GraphicsSceen::mousePressEvent(QGraphicsSceneMouseEvent* event)
{
    startDraw(event->scenePos());
    QGraphicsScene::mousePressEvent(event);
}

void GraphicsSceen::mouseMoveEvent(QGraphicsSceneMouseEvent* event)
{
    if (!currentItem)
        return;
    const QPointF point = event->scenePos();
    if (isDrawing)
        drawing(point);
    QGraphicsScene::mouseMoveEvent(event);
}

void GraphicsSceen::mouseReleaseEvent(QGraphicsSceneMouseEvent* event)
{
    if (!currentItem)
        return;
    endDraw();
    QGraphicsScene::mouseReleaseEvent(event);
}
