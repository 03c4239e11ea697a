#include "jwpaint/paintview.h"

#include "jwpaint/graphicssceen.h"

#include <QBitmap>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QScreen>

#include <algorithm>

GraphicsView::GraphicsView(QWidget* parent) : QGraphicsView(parent)
{
    setStyleSheet(QStringLiteral("background:transparent"));
    setAutoFillBackground(false);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setAttribute(Qt::WA_DeleteOnClose);
    // Scene coordinates are screen pixels only if nothing stands between the
    // window's edge and the scene.
    setFrameShape(QFrame::NoFrame);
}

PaintView::PaintView(bool composited, std::shared_ptr<InkBudget> ink, QWidget* parent)
    : QMainWindow(parent), composited(composited)
{
    view = new GraphicsView(this);
    scene = new GraphicsSceen(this, std::move(ink));
    scene->setDrawRect(x(), y(), width(), height());
    view->setScene(scene);
    setCentralWidget(view);
    if (composited)
        setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_DeleteOnClose);
    QPalette pal = palette();
    pal.setBrush(QPalette::All, QPalette::Window, QBrush(Qt::transparent));
    setPalette(pal);
    setWindowFlags(Qt::FramelessWindowHint);
    setWindowOpacity(1.0);
    resize(800, 600);
    setWindowTitle(QStringLiteral("Sketchpad"));
    // Shapes mean something only to an X server, and only without a compositor.
    shaped = !composited && QGuiApplication::platformName() == QLatin1String("xcb");
    if (shaped) {
        connect(scene, &QGraphicsScene::changed, this, &PaintView::inkChanged);
        shapeTimer.setSingleShot(true);
        connect(&shapeTimer, &QTimer::timeout, this, &PaintView::updateShape);
    }
}

void PaintView::setUnderlay(const QPixmap& screen, const QRegion& known, const QPoint& origin)
{
    if (composited)
        return;
    // The brush is laid in scene coordinates, which are screen pixels: moved to
    // where it was taken, the picture lines up with what it shows.
    QBrush brush = screen.isNull() ? QBrush(Qt::black) : QBrush(screen);
    brush.setTransform(QTransform::fromTranslate(origin.x(), origin.y()));
    view->setBackgroundBrush(brush);
    knownArea = known;
    updateShape();
}

bool PaintView::underlayCoversWindow() const
{
    return (knownArea & geometry()) == QRegion(geometry());
}

// The pixels the board's own strokes and texts cover, in scene (screen)
// coordinates.
QRegion PaintView::inkRegion() const
{
    const QRect area = scene->sceneRect().toAlignedRect();
    if (area.isEmpty())
        return QRegion();
    QImage image(area.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        scene->render(&painter, QRectF(image.rect()), QRectF(area));
    }
    return QRegion(QBitmap::fromImage(image.createAlphaMask())).translated(area.topLeft());
}

// Followed only while the board shows the screen through itself somewhere (where
// the underlay covers it all, the ink's shape is not needed), and measured anew
// at most every few dozen milliseconds: a full rendering of the board each time,
// so the pause grows with what that costs, keeping it to a fifth of the time.
void PaintView::inkChanged()
{
    inkKnown = false;
    if (!shaped || underlayCoversWindow() || shapeTimer.isActive())
        return;
    shapeTimer.start(std::max<qint64>(kShapeDelayMs, 4 * lastShapeMs));
}

// Where nothing composites, the board is drawn only where it knows what lies
// beneath it (the shown picture its underlay holds) and on its own ink; elsewhere
// the screen shows through as it is now: a hidden show window, a video, the
// desktop. Painting a remembered picture there would show what is gone.
void PaintView::updateShape()
{
    if (!shaped)
        return;
    const QRect geo = geometry();
    if (underlayCoversWindow()) {
        if (!mask().isEmpty())
            clearMask();
        return;
    }
    if (!inkKnown) {
        QElapsedTimer cost;
        cost.start();
        inkArea = inkRegion();
        inkKnown = true;
        lastShapeMs = cost.elapsed();
    }
    QRegion shown = (knownArea | inkArea) & geo;
    shown.translate(-geo.topLeft());
    if (shown.isEmpty())
        shown = QRegion(0, 0, 1, 1); // an empty mask would mean no mask at all
    if (shown != mask())
        setMask(shown);
}

void PaintView::paintEvent(QPaintEvent*)
{
    // Almost transparent, but not quite: a fully transparent window lets the
    // mouse through to what lies beneath it on some desktops.
    QPainter painter(this);
    painter.fillRect(rect(), QColor(0, 0, 0, 1));
}

void PaintView::followGeometry()
{
    scene->setDrawRect(x(), y(), width(), height());
    inkKnown = false; // measured again over the new area
    updateShape();
}

void PaintView::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    followGeometry();
}

// Where no window manager moves the window in one go with its new size, the
// position may arrive on its own.
void PaintView::moveEvent(QMoveEvent* event)
{
    QMainWindow::moveEvent(event);
    followGeometry();
}

void PaintView::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        if (fullScreen)
            goNormal();
        else
            goFullScreen();
    } else if (event->key() == Qt::Key_Backspace) {
        scene->undo();
    }
    event->accept();
}

QScreen* PaintView::boardScreen() const
{
    return target ? target.data() : QGuiApplication::primaryScreen();
}

void PaintView::setScreen(QScreen* screen)
{
    target = screen;
    if (!isVisible())
        return;
    if (fullScreen) {
        showNormal(); // a window manager moves a full-screen window only this way
        goFullScreen();
    } else {
        goNormal();
    }
}

// Full screen also where no window manager would resize the window for us; and
// where none confirms the request, Qt's own state cannot tell which one we are in.
void PaintView::goFullScreen()
{
    fullScreen = true;
    const QScreen* screen = boardScreen();
    showFullScreen();
    if (screen)
        setGeometry(screen->geometry());
    followGeometry();
}

// A board that was never shown normal has no normal place of its own: 800 x 600
// in the middle of the screen.
void PaintView::goNormal()
{
    fullScreen = false;
    showNormal();
    const QScreen* screen = boardScreen();
    QRect normal(0, 0, 800, 600);
    if (screen)
        normal.moveCenter(screen->geometry().center());
    setGeometry(normal);
    followGeometry();
}

void PaintView::apply(const cmd::BoardAction& action)
{
    struct Apply {
        PaintView* v;
        GraphicsSceen* scene;
        void operator()(const cmd::BoardOpen&) const
        {
            scene->clearBoard();
            v->setWindowFlags(v->windowFlags() | Qt::WindowStaysOnTopHint);
            v->goFullScreen();
        }
        void operator()(const cmd::BoardClose&) const
        {
            v->endStroke();
            scene->clearBoard();
            v->close();
        }
        void operator()(const cmd::StrokeStart& a) const
        {
            v->drawState = 0;
            scene->startDraw(a.at);
        }
        void operator()(const cmd::StrokeTo& a) const
        {
            v->drawState = 1;
            scene->drawing(a.at);
        }
        void operator()(const cmd::StrokeEnd&) const
        {
            v->drawState = 2;
            scene->endDraw();
        }
        void operator()(const cmd::SetShape& a) const { scene->setShape(a.shape); }
        void operator()(const cmd::SetColor& a) const { scene->setColor(a.r, a.g, a.b); }
        void operator()(const cmd::SetPenWidth& a) const { scene->setPenWidth(a.width); }
        void operator()(const cmd::ClearBoard&) const
        {
            v->endStroke();
            scene->clearBoard();
        }
        void operator()(const cmd::Undo&) const { scene->undo(); }
        void operator()(const cmd::Redo&) const { scene->redraw(); }
        void operator()(const cmd::TextStart& a) const { scene->startText(a.at); }
        void operator()(const cmd::TextSet& a) const { scene->setText(a.text); }
        void operator()(const cmd::TextEnd&) const { scene->endText(); }
    };
    std::visit(Apply{this, scene}, action);
}

void PaintView::endStroke()
{
    if (drawState != 2) {
        drawState = 2;
        scene->endDraw();
    }
}
