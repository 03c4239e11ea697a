#include "jwpaint/shapes.h"

#include "base/jwdebug.h"

#include <QBrush>
#include <QFont>
#include <QPainter>
#include <QPen>
#include <QStyleOptionGraphicsItem>

#include <algorithm>
#include <cmath>

int jwpaint::clampDrawSize(int size)
{
    return std::clamp(size, 1, kMaxDrawSize);
}

namespace
{

QPen makePen(const QColor& color, int width)
{
    return QPen(QBrush(color, Qt::SolidPattern), qreal(jwpaint::clampDrawSize(width)),
                Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin);
}

template <class Item> void setPenWidthOf(Item* item, int width)
{
    QPen pen = item->pen();
    pen.setWidthF(qreal(jwpaint::clampDrawSize(width)));
    item->setPen(pen);
}

template <class Item> int penWidthOf(const Item* item)
{
    return int(item->pen().widthF());
}

QFont boldFont(int pointSize)
{
    QFont font;
    font.setPointSize(jwpaint::clampDrawSize(pointSize));
    font.setWeight(75);
    return font;
}

// Strokes a copy of the path: a drawn path keeps the painter's converted copy of itself
// (some 3 KiB, whatever its length) for as long as it lives, which for a run of a few
// points is ten times the run.
void strokeFresh(QPainter* painter, const QPainterPath& path)
{
    QPainterPath fresh;
    fresh.addPath(path);
    painter->drawPath(fresh);
}

} // namespace

// --- StringLine ----------------------------------------------------------------------

StringLine::StringLine()
{
    setFlag(ItemIsMovable, false);
    StringLine::setColor(Qt::red, 2);
}

void StringLine::setColor(QColor color, int width)
{
    setPen(makePen(color, width));
}

QColor StringLine::color() const
{
    return pen().color();
}

void StringLine::setPenWidth(int width)
{
    setPenWidthOf(this, width);
}

int StringLine::penWidth() const
{
    return penWidthOf(this);
}

void StringLine::beginDraw(QPointF point)
{
    setLine(QLineF(point, point));
}

void StringLine::drawTo(QPointF point)
{
    setLine(QLineF(line().p1(), point));
}

// --- Ellipse ---------------------------------------------------------------------------

Ellipse::Ellipse()
{
    setFlag(ItemIsMovable, false);
    Ellipse::setColor(Qt::red, 2);
}

void Ellipse::setColor(QColor color, int width)
{
    qCDebug(lcJwShow) << "set color...............";
    setPen(makePen(color, width));
    qCDebug(lcJwShow) << "set color...............22";
}

QColor Ellipse::color() const
{
    return pen().color();
}

void Ellipse::setPenWidth(int width)
{
    setPenWidthOf(this, width);
}

int Ellipse::penWidth() const
{
    return penWidthOf(this);
}

void Ellipse::beginDraw(QPointF point)
{
    setRect(QRectF(point, QSizeF(0, 0)));
}

// The top-left corner stays where the stroke began: dragging up or left gives a
// negative size, which the item draws as it sees fit.
void Ellipse::drawTo(QPointF point)
{
    const QRectF r = rect();
    setRect(r.x(), r.y(), point.x() - r.x(), point.y() - r.y());
}

// --- Rect ------------------------------------------------------------------------------

Rect::Rect()
{
    setFlag(ItemIsMovable, false);
    Rect::setColor(Qt::red, 2);
}

void Rect::setColor(QColor color, int width)
{
    setPen(makePen(color, width));
}

QColor Rect::color() const
{
    return pen().color();
}

void Rect::setPenWidth(int width)
{
    setPenWidthOf(this, width);
}

int Rect::penWidth() const
{
    return penWidthOf(this);
}

void Rect::beginDraw(QPointF point)
{
    startPoint = point;
    setRect(QRectF(point, QSizeF(0, 0)));
}

// Always spanned with a non-negative size, whichever way the stroke went; a point that
// is not a number leaves the rectangle as it was.
void Rect::drawTo(QPointF point)
{
    const qreal sx = startPoint.x(), sy = startPoint.y();
    const qreal px = point.x(), py = point.y();
    if (px >= sx && py >= sy)
        setRect(sx, sy, px - sx, py - sy);
    else if (sx >= px && sy >= py)
        setRect(px, py, sx - px, sy - py);
    else if (px >= sx && sy >= py)
        setRect(sx, py, px - sx, sy - py);
    else if (sx >= px && py >= sy)
        setRect(px, sy, sx - px, py - sy);
}

// --- Curves ----------------------------------------------------------------------------

Curves::Curves()
{
    setFlag(ItemIsMovable, false);
    // paint() needs the exposed area to skip the runs outside it.
    setFlag(ItemUsesExtendedStyleOption, true);
    Curves::setColor(Qt::red, 2);
}

void Curves::setColor(QColor color, int width)
{
    prepareGeometryChange();
    setPen(makePen(color, width));
    runImages.assign(runImages.size(), QImage());
    reserved = QRectF();
    for (const Extent& e : runExtents)
        reserve(QRectF(QPointF(e.x0, e.y0), QPointF(e.x1, e.y1)));
}

QColor Curves::color() const
{
    return pen().color();
}

void Curves::setPenWidth(int width)
{
    setColor(pen().color(), width);
}

int Curves::penWidth() const
{
    return penWidthOf(this);
}

// How far the ink of a segment reaches beyond its ends: half the width, times the square
// cap's diagonal, and a pixel of rounding.
qreal Curves::inkMargin() const
{
    return pen().widthF() * 0.71 + 1.0;
}

void Curves::Extent::cover(const Extent& e)
{
    x0 = std::min(x0, e.x0);
    y0 = std::min(y0, e.y0);
    x1 = std::max(x1, e.x1);
    y1 = std::max(y1, e.y1);
}

void Curves::beginDraw(QPointF point)
{
    runPaths.assign(1, QPainterPath(point));
    runExtents.assign(1, {point.x(), point.y(), point.x(), point.y()});
    blockExtents = runExtents;
    runImages.assign(1, QImage());
    runImageAt.assign(1, QPoint());
}

void Curves::drawTo(QPointF point)
{
    if (runPaths.empty())
        beginDraw(QPointF(0, 0));
    const QPointF from = runPaths.back().currentPosition();
    const Extent segment{std::min(from.x(), point.x()), std::min(from.y(), point.y()),
                         std::max(from.x(), point.x()), std::max(from.y(), point.y())};
    Extent grown = runExtents.back();
    grown.cover(segment);
    if (runPaths.back().elementCount() >= kMaxRunElements || grown.x1 - grown.x0 > kMaxRunExtent ||
        grown.y1 - grown.y0 > kMaxRunExtent) {
        runPaths.emplace_back(from);
        runExtents.push_back(segment);
        runImages.emplace_back();
        runImageAt.emplace_back();
        if (runExtents.size() % kRunsPerBlock == 1)
            blockExtents.push_back(segment);
    } else {
        runExtents.back() = grown;
    }
    blockExtents.back().cover(segment);
    runPaths.back().lineTo(point);

    const qreal m = inkMargin();
    const QRectF ink = QRectF(from, point).normalized().adjusted(-m, -m, m, m);
    if (reserved.contains(ink)) {
        update(ink);
    } else {
        prepareGeometryChange();
        reserve(ink);
    }
}

// Grows the reserved rectangle over the area and then by half of its size again, so that
// a curve spreading across the screen changes its geometry (and repaints all of itself) a
// few times only, not at every point.
void Curves::reserve(const QRectF& area)
{
    const qreal m = inkMargin();
    const QRectF ink = area.normalized().adjusted(-m, -m, m, m);
    QRectF all = reserved.isEmpty() ? ink : reserved.united(ink);
    const qreal dx = std::max(all.width() / 4, 32.0), dy = std::max(all.height() / 4, 32.0);
    reserved = all.adjusted(-dx, -dy, dx, dy);
}

QRectF Curves::boundingRect() const
{
    return reserved;
}

void Curves::paint(QPainter* painter, const QStyleOptionGraphicsItem* option, QWidget*)
{
    painter->setPen(pen());
    painter->setBrush(Qt::NoBrush);
    // A copied image lands on the very pixels the stroke would only while item pixels are
    // device pixels moved by whole pixels, as on the board; anything else strokes.
    const QTransform& t = painter->deviceTransform();
    const bool blit = t.type() <= QTransform::TxTranslate && t.dx() == std::floor(t.dx()) &&
                      t.dy() == std::floor(t.dy());
    const qreal m = inkMargin();
    const QRectF near = option->exposedRect.adjusted(-m, -m, m, m);
    for (size_t b = 0; b < blockExtents.size(); ++b) {
        if (!blockExtents[b].meets(near))
            continue;
        const size_t end = std::min(runExtents.size(), (b + 1) * kRunsPerBlock);
        for (size_t k = b * kRunsPerBlock; k < end; ++k) {
            if (runExtents[k].meets(near))
                paintRun(painter, k, blit);
        }
    }
}

// The run still growing is stroked every time, as it changes at every point. So is a run
// whose ink is not all-or-nothing (smoothed edges, a see-through colour), whose copied
// image could round differently from the stroke, and a run whose image would be large (a
// wide pen), which would cost more memory than stroking costs time.
void Curves::paintRun(QPainter* painter, size_t k, bool blit)
{
    constexpr int kMaxImageSide = 64;
    QImage& image = runImages[k];
    blit = blit && !painter->testRenderHint(QPainter::Antialiasing) && pen().color().alpha() == 255;
    if (image.isNull() && blit && k + 1 < runPaths.size()) {
        const qreal m = inkMargin();
        const Extent& e = runExtents[k];
        const QRect area(QPoint(int(std::floor(e.x0 - m)), int(std::floor(e.y0 - m))),
                         QPoint(int(std::ceil(e.x1 + m)), int(std::ceil(e.y1 + m))));
        if (area.width() <= kMaxImageSide && area.height() <= kMaxImageSide) {
            QImage ink(area.size(), QImage::Format_ARGB32_Premultiplied);
            ink.fill(Qt::transparent);
            QPainter p(&ink);
            p.translate(-area.topLeft());
            p.setPen(pen());
            strokeFresh(&p, runPaths[k]);
            p.end();
            // Kept cut down to the pixels inked: the margin allows for the worst case.
            QRect inked;
            for (int y = 0; y < ink.height(); ++y) {
                const QRgb* line = reinterpret_cast<const QRgb*>(ink.constScanLine(y));
                for (int x = 0; x < ink.width(); ++x) {
                    if (line[x])
                        inked |= QRect(x, y, 1, 1);
                }
            }
            image = ink.copy(inked);
            runImageAt[k] = area.topLeft() + inked.topLeft();
        }
    }
    if (blit && !image.isNull())
        painter->drawImage(runImageAt[k], image);
    else
        strokeFresh(painter, runPaths[k]);
}

QPainterPath Curves::wholePath() const
{
    QPainterPath all;
    for (const QPainterPath& run : runPaths) {
        for (int i = all.elementCount() == 0 ? 0 : 1; i < run.elementCount(); ++i) {
            if (i == 0)
                all.moveTo(run.elementAt(i));
            else
                all.lineTo(run.elementAt(i));
        }
    }
    return all;
}

// --- Text ------------------------------------------------------------------------------

Text::Text()
{
    setFlag(ItemIsMovable, false);
    setDefaultTextColor(Qt::red);
    setFont(boldFont(20));
}

void Text::setColor(QColor color, int size)
{
    setDefaultTextColor(color);
    setFont(boldFont(size));
}

QColor Text::color() const
{
    return defaultTextColor();
}

void Text::setPenWidth(int size)
{
    setFont(boldFont(size));
}

int Text::penWidth() const
{
    return int(font().pointSizeF());
}

void Text::beginDraw(QPointF) {}

void Text::drawTo(QPointF) {}

void Text::setText(const QString& text)
{
    setPlainText(text);
}
