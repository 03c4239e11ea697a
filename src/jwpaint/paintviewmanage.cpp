#include "jwpaint/paintviewmanage.h"

#include "base/jwdebug.h"
#include "host/compositor.h"
#include "host/memory.h"
#include "jwpaint/paintview.h"

#include "jwpaint/graphicssceen.h"

#include <QDebug>
#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <QTimer>

paintViewManage::paintViewManage(QWidget* parent) : QDialog(parent)
{
    setWindowFlags(windowFlags() | Qt::WindowStaysOnTopHint);
    composited = QGuiApplication::platformName() == QLatin1String("xcb")
                     ? host::CompositorRunning()
                     : QGuiApplication::platformName() != QLatin1String("offscreen");
}

void paintViewManage::apply(const cmd::BoardCommand& c)
{
    struct Apply {
        paintViewManage* m;
        const QString& id;
        void operator()(const cmd::BoardOpen&) const { m->sl_startWhiteboard(id); }
        void operator()(const cmd::BoardClose&) const { m->sl_endWhiteboard(id); }
        void operator()(const cmd::StrokeStart& a) const
        {
            m->sl_StartDraw(id, a.at.x(), a.at.y());
        }
        void operator()(const cmd::StrokeTo& a) const { m->sl_drawing(id, a.at.x(), a.at.y()); }
        void operator()(const cmd::StrokeEnd&) const { m->sl_EndDraw(id); }
        void operator()(const cmd::SetShape& a) const { m->sl_SetShape(id, int(a.shape)); }
        void operator()(const cmd::SetColor& a) const { m->sl_SetColor(id, a.r, a.g, a.b); }
        void operator()(const cmd::SetPenWidth& a) const { m->sl_SetPenWidth(id, a.width); }
        void operator()(const cmd::ClearBoard&) const { m->sl_Clear(id); }
        void operator()(const cmd::Undo&) const { m->sl_Undo(id); }
        void operator()(const cmd::Redo&) const { m->sl_redraw(id); }
        void operator()(const cmd::TextStart& a) const { m->sl_startText(id, a.at.x(), a.at.y()); }
        void operator()(const cmd::TextSet& a) const { m->sl_setText(id, a.text); }
        void operator()(const cmd::TextEnd&) const { m->sl_endText(id); }
    };
    std::visit(Apply{this, c.id}, c.action);
}

void paintViewManage::InitConnect()
{
    connect(this, &paintViewManage::msg_clear, this, &paintViewManage::sl_Clear);
    connect(this, &paintViewManage::msg_setcolor, this, &paintViewManage::sl_SetColor);
    connect(this, &paintViewManage::msg_drawing, this, &paintViewManage::sl_drawing);
    connect(this, &paintViewManage::msg_endDraw, this, &paintViewManage::sl_EndDraw);
    connect(this, &paintViewManage::msg_penwidth, this, &paintViewManage::sl_SetPenWidth);
    connect(this, &paintViewManage::msg_shape, this, &paintViewManage::sl_SetShape);
    connect(this, &paintViewManage::msg_undo, this, &paintViewManage::sl_Undo);
    connect(this, &paintViewManage::msg_startDraw, this, &paintViewManage::sl_StartDraw);
    connect(this, &paintViewManage::msg_startWhiteboard, this,
            &paintViewManage::sl_startWhiteboard);
    connect(this, &paintViewManage::msg_endWhiteboard, this, &paintViewManage::sl_endWhiteboard);
    connect(this, &paintViewManage::msg_redraw, this, &paintViewManage::sl_redraw);
    connect(this, &paintViewManage::msg_startText, this, &paintViewManage::sl_startText);
    connect(this, &paintViewManage::msg_setText, this, &paintViewManage::sl_setText);
    connect(this, &paintViewManage::msg_endText, this, &paintViewManage::sl_endText);
}

paintViewManage::Underlay paintViewManage::underlay() const
{
    if (underlaySource)
        return underlaySource();
    // Nobody says what lies beneath: the screen as it is when the board opens.
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return {};
    return {screen->grabWindow(0), QRegion(screen->geometry())};
}

void paintViewManage::sl_closeAll()
{
    const auto open = views;
    views.clear();
    for (const QPointer<PaintView>& v : open) {
        if (v)
            v->sl_endWhiteboard();
    }
}

void paintViewManage::sl_windowSize(QString id, int x, int y, int w, int h)
{
    if (PaintView* v = views.value(id)) {
        v->resize(w, h);
        v->move(x, y);
    }
}

void paintViewManage::sl_startWhiteboard(QString id)
{
    if (views.value(id))
        return; // the open board, its content and its settings stay
    if (openBoards() >= kMaxBoards) {
        qCDebug(lcJwShow) << "whiteboard refused, already" << kMaxBoards << "open:" << id;
        return;
    }
    auto* v = new PaintView(composited, ink); // deletes itself when closed
    if (!composited) {
        const Underlay under = underlay();
        v->setUnderlay(under.picture, under.known);
    }
    views.insert(id, v);
    connect(v->drawingScene(), &QGraphicsScene::changed, this, [this] { scheduleUnderlays(2); });
    connect(v, &QObject::destroyed, this, [this] { scheduleUnderlays(1); });
    // A closed board leaves megabytes the allocator would keep: its underlay, its strokes.
    // (Once the board's children are gone too: they go after this notice.)
    connect(v, &QObject::destroyed, this,
            [this] { QTimer::singleShot(0, this, [] { host::ReleaseFreeMemory(); }); });
    v->sl_startWhiteboard();
    scheduleUnderlays(2); // the new board has only the bare picture beneath it
}

void paintViewManage::sl_endWhiteboard(QString id)
{
    const QPointer<PaintView> v = views.take(id);
    if (v)
        v->sl_endWhiteboard();
}

void paintViewManage::sl_underlayChanged()
{
    if (composited || views.isEmpty())
        return;
    const Underlay beneath = underlay();
    for (const QPointer<PaintView>& v : qAsConst(views)) {
        if (!v)
            continue;
        // A board alone shares the picture: painting would copy all of it.
        QPixmap under = beneath.picture;
        QPainter painter;
        const QRectF all(QPointF(0, 0), QSizeF(under.size()));
        for (const QPointer<PaintView>& other : qAsConst(views)) {
            if (other && other != v && (painter.isActive() || painter.begin(&under)))
                other->drawingScene()->render(&painter, all, all);
        }
        if (painter.isActive())
            painter.end();
        v->setUnderlay(under, beneath.known);
    }
}

void paintViewManage::sl_underlayChangedSoon()
{
    if (views.isEmpty())
        return;
    if (!raisePending) {
        raisePending = true;
        // Once the window's own map or raise has gone out: the window manager
        // stacks in the order it is asked.
        // The last board raised takes the focus: a window manager keeps a focused
        // full-screen window above all others, the boards kept on top included.
        QTimer::singleShot(0, this, [this] {
            raisePending = false;
            PaintView* top = nullptr;
            for (const QPointer<PaintView>& v : qAsConst(views)) {
                if (v) {
                    v->raise();
                    top = v;
                }
            }
            if (top && !top->isActiveWindow())
                top->activateWindow();
        });
    }
    scheduleUnderlays(1);
}

void paintViewManage::scheduleUnderlays(int minBoards)
{
    if (composited || underlaysPending || views.size() < minBoards)
        return;
    underlaysPending = true;
    QTimer::singleShot(0, this, [this] {
        underlaysPending = false;
        sl_underlayChanged();
    });
}

// Every command for a board that is not open (or was closed by the system) is
// dropped.
#define JW_FORWARD(slot, ...)                                                                      \
    if (PaintView* v = views.value(id))                                                            \
        v->slot(__VA_ARGS__);                                                                      \
    else                                                                                           \
        views.remove(id);

void paintViewManage::sl_StartDraw(QString id, int x, int y)
{
    JW_FORWARD(sl_StartDraw, x, y)
}
void paintViewManage::sl_EndDraw(QString id)
{
    JW_FORWARD(sl_EndDraw)
}
void paintViewManage::sl_drawing(QString id, int x, int y)
{
    JW_FORWARD(sl_drawing, x, y)
}
void paintViewManage::sl_SetColor(QString id, int r, int g, int b)
{
    JW_FORWARD(sl_SetColor, r, g, b)
}
void paintViewManage::sl_SetPenWidth(QString id, int width)
{
    JW_FORWARD(sl_SetPenWidth, width)
}
void paintViewManage::sl_SetShape(QString id, int shap)
{
    JW_FORWARD(sl_SetShape, shap)
}
void paintViewManage::sl_Undo(QString id)
{
    JW_FORWARD(sl_Undo)
}
void paintViewManage::sl_Clear(QString id)
{
    JW_FORWARD(sl_Clear)
}
void paintViewManage::sl_startText(QString id, int x, int y)
{
    JW_FORWARD(sl_startText, x, y)
}
void paintViewManage::sl_setText(QString id, QString text)
{
    JW_FORWARD(sl_setText, text)
}
void paintViewManage::sl_endText(QString id)
{
    JW_FORWARD(sl_endText)
}
void paintViewManage::sl_redraw(QString id)
{
    JW_FORWARD(sl_redraw)
}
