#pragma once
// The five kinds of whiteboard item. Each is one of Qt's standard graphics items that
// also implements ShapeBase, through which the scene colours an item, starts it at a
// point and grows it to later points without knowing its kind.

#include <QColor>
#include <QGraphicsEllipseItem>
#include <QGraphicsLineItem>
#include <QGraphicsPathItem>
#include <QGraphicsRectItem>
#include <QGraphicsTextItem>
#include <QImage>
#include <QPainterPath>
#include <QPointF>
#include <QRectF>

#include <vector>

namespace jwpaint
{
// Pen widths (pixels) and text sizes (points) handed to the painter stay within
// [1, kMaxDrawSize]. 4096 is a little above the widest screen in use: anything larger
// covers the whole screen anyway, while a width of billions makes the stroker and the
// rasteriser work for minutes or run out of memory.
constexpr int kMaxDrawSize = 4096;
int clampDrawSize(int size);
} // namespace jwpaint

class ShapeBase
{
public:
    virtual void setColor(QColor color, int width) = 0;
    virtual QColor color() const = 0;
    virtual void setPenWidth(int width) = 0;
    virtual int penWidth() const = 0;
    virtual void beginDraw(QPointF point) = 0;
    virtual void drawTo(QPointF point) = 0;

protected:
    // Shapes are destroyed as graphics items only, never through this interface.
    ~ShapeBase() = default;
    QPointF startPoint{0.0, 0.0};
};

class StringLine : public ShapeBase, public QGraphicsLineItem
{
public:
    StringLine();
    void setColor(QColor color, int width) override;
    QColor color() const override;
    void setPenWidth(int width) override;
    int penWidth() const override;
    void beginDraw(QPointF point) override;
    void drawTo(QPointF point) override;
};

class Ellipse : public ShapeBase, public QGraphicsEllipseItem
{
public:
    Ellipse();
    void setColor(QColor color, int width) override;
    QColor color() const override;
    void setPenWidth(int width) override;
    int penWidth() const override;
    void beginDraw(QPointF point) override;
    void drawTo(QPointF point) override;
};

class Rect : public ShapeBase, public QGraphicsRectItem
{
public:
    Rect();
    void setColor(QColor color, int width) override;
    QColor color() const override;
    void setPenWidth(int width) override;
    int penWidth() const override;
    void beginDraw(QPointF point) override;
    void drawTo(QPointF point) override;
};

// A freehand curve: the polyline through its start and every point since. A stroke may
// bring tens of thousands of points, and the toolkit's path item would, at every point,
// copy the whole path, outline all of it for its bounding rectangle and repaint the whole
// area it covers. So the curve keeps its points in short runs (at most kMaxRunElements
// path elements and kMaxRunExtent pixels across, each run starting where the last one
// ended), paints only the runs that meet the exposed area, and reserves its bounding
// rectangle ahead in growing steps: a point repaints its own segment and nothing else.
// A run that is finished never changes again, so it is stroked once into a small image
// and later repaints copy that image: a scribble drawn over itself again and again would
// otherwise outline every run under each new segment anew.
// The toolkit's own path stays empty; wholePath() is the curve.
class Curves : public ShapeBase, public QGraphicsPathItem
{
public:
    static constexpr int kMaxRunElements = 64;
    static constexpr qreal kMaxRunExtent = 24.0;

    Curves();
    void setColor(QColor color, int width) override;
    QColor color() const override;
    void setPenWidth(int width) override;
    int penWidth() const override;
    void beginDraw(QPointF point) override;
    void drawTo(QPointF point) override;

    QRectF boundingRect() const override;
    void paint(QPainter* painter, const QStyleOptionGraphicsItem* option, QWidget* widget) override;

    // The polyline through every point so far, all runs joined (a copy of it all).
    QPainterPath wholePath() const;
    int runCount() const { return int(runPaths.size()); }

private:
    struct Extent {
        qreal x0, y0, x1, y1; // the corners of a run's points' extent
        bool meets(const QRectF& r) const
        {
            return x0 <= r.right() && x1 >= r.left() && y0 <= r.bottom() && y1 >= r.top();
        }
        void cover(const Extent& e);
    };
    static constexpr size_t kRunsPerBlock = 64;
    qreal inkMargin() const;
    void reserve(const QRectF& area);
    void paintRun(QPainter* painter, size_t k, bool blit);

    // Run k is runPaths[k]; the extents are apart, so that paint() sweeps them quickly:
    // first those of the blocks of kRunsPerBlock runs, then the runs of a block that meets.
    std::vector<QPainterPath> runPaths;
    std::vector<Extent> runExtents;
    std::vector<Extent> blockExtents;
    // runImages[k]: run k as stroked, once it is finished and first painted; null
    // otherwise. It starts at the run's whole-pixel corner runImageAt[k].
    std::vector<QImage> runImages;
    std::vector<QPoint> runImageAt;
    QRectF reserved; // the bounding rectangle: all the ink, and room ahead
};

// A text: the "width" is its point size; the scene places it by its position.
class Text : public ShapeBase, public QGraphicsTextItem
{
public:
    Text();
    void setColor(QColor color, int size) override;
    QColor color() const override;
    void setPenWidth(int size) override;
    int penWidth() const override;
    void beginDraw(QPointF point) override;
    void drawTo(QPointF point) override;
    void setText(const QString& text);
};
