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
    if (std::holds_alternative<cmd::BoardOpen>(c.action))
        return openBoard(c.id);
    // A command for a board that is not open (or was closed by the system) is
    // dropped; a closed board is forgotten.
    PaintView* const v =
        std::holds_alternative<cmd::BoardClose>(c.action) ? views.take(c.id).data() : openView(c.id);
    if (v)
        v->apply(c.action);
    else
        views.remove(c.id);
}

PaintView* paintViewManage::openView(const QString& id) const
{
    PaintView* const v = views.value(id);
    return v && v->isVisible() ? v : nullptr;
}

void paintViewManage::setTargetScreen(QScreen* target)
{
    screen = target;
    for (const QPointer<PaintView>& v : qAsConst(views)) {
        if (v)
            v->setScreen(target);
    }
    sl_underlayChangedSoon();
}

QScreen* paintViewManage::targetScreen() const
{
    return screen ? screen.data() : QGuiApplication::primaryScreen();
}

paintViewManage::Underlay paintViewManage::underlay() const
{
    if (underlaySource)
        return underlaySource();
    // Nobody says what lies beneath: the screen as it is when the board opens.
    QScreen* s = targetScreen();
    if (!s)
        return {};
    // The root window's pixels of that screen only, its top-left at the screen's.
    const QRect area = s->geometry();
    return {s->grabWindow(0), QRegion(area), area.topLeft()};
}

void paintViewManage::openBoard(const QString& id)
{
    if (openView(id))
        return; // the open board, its content and its settings stay
    if (openBoards() >= kMaxBoards) {
        qCDebug(lcJwShow) << "whiteboard refused, already" << kMaxBoards << "open:" << id;
        return;
    }
    auto* v = new PaintView(composited, ink); // deletes itself when closed
    v->setScreen(screen);
    if (!composited) {
        const Underlay under = underlay();
        v->setUnderlay(under.picture, under.known, under.origin);
    }
    views.insert(id, v);
    connect(v->drawingScene(), &QGraphicsScene::changed, this, [this] { scheduleUnderlays(2); });
    connect(v, &QObject::destroyed, this, [this] { scheduleUnderlays(1); });
    // A closed board leaves megabytes the allocator would keep: its underlay, its strokes.
    // (Once the board's children are gone too: they go after this notice.)
    connect(v, &QObject::destroyed, this,
            [this] { QTimer::singleShot(0, this, [] { host::ReleaseFreeMemory(); }); });
    v->apply(cmd::BoardOpen{});
    scheduleUnderlays(2); // the new board has only the bare picture beneath it
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
                other->drawingScene()->render(&painter, all, all.translated(beneath.origin));
        }
        if (painter.isActive())
            painter.end();
        v->setUnderlay(under, beneath.known, beneath.origin);
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
