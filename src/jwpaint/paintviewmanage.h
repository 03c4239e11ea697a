#pragma once
// The whiteboard manager: keeps one whiteboard window per controller and hands
// each of the controller's commands to its board.

#include <QDialog>
#include <QMap>
#include <QPixmap>
#include <QPointer>
#include <QRegion>
#include <QScreen>

#include "jwpaint/inkbudget.h"
#include "jwpaint/paintview.h"
#include "protocol/commands.h"

#include <algorithm>
#include <functional>
#include <memory>

class paintViewManage : public QDialog
{
    Q_OBJECT
public:
    explicit paintViewManage(QWidget* parent = nullptr);
    // What the dispatcher asks of a controller's board.
    void apply(const cmd::BoardCommand& c);

    // Where nothing composites windows, the boards are painted over a picture of
    // what lies beneath them: the picture of the screen, and where it shows what
    // is on the screen now (start-up hands in the show window's). Elsewhere a
    // board shows only its ink.
    struct Underlay {
        QPixmap picture;
        QRegion known;
        QPoint origin; // where the picture's top-left lies on the screen
    };
    void setUnderlaySource(std::function<Underlay()> source) { underlaySource = std::move(source); }
    PaintView* view(const QString& id) const { return views.value(id); }
    // The screen the boards cover (none: the primary); open boards move there.
    void setTargetScreen(QScreen* screen);
    QScreen* targetScreen() const;
    int viewCount() const { return views.size(); }
    // Boards open at once, at most: more serve no one and only cost memory (a
    // full-screen window and its underlay each).
    static constexpr int kMaxBoards = 16;
    int openBoards() const
    {
        return int(std::count_if(views.cbegin(), views.cend(),
                                 [](const QPointer<PaintView>& v) { return !v.isNull(); }));
    }

public slots:
    // The picture under the boards changed: paint them over the new one.
    void sl_underlayChanged();
    // What lies beneath the boards changed (shown, hidden, moved, a video): the
    // same, once the event loop has run what came with it; and the boards go back
    // over a window that was shown over them.
    void sl_underlayChangedSoon();

private:
    void openBoard(const QString& id);
    // The board of id while it is open. One closed by the system's close command
    // is hidden at once but destroys itself only later: meanwhile it takes nothing.
    PaintView* openView(const QString& id) const;
    Underlay underlay() const;
    // Where boards cannot be seen through, each one shows the others' drawings
    // beneath its own; redone once per pass of the event loop after a change, if at
    // least minBoards are open (a board's own change matters only to the others).
    void scheduleUnderlays(int minBoards);
    bool underlaysPending = false;
    bool raisePending = false;

    // A window closed by the system's close command destroys itself; the
    // QPointer then reads null and the entry is dropped at the next use.
    QMap<QString, QPointer<PaintView>> views;
    std::function<Underlay()> underlaySource;
    QPointer<QScreen> screen;
    bool composited = false;
    // Shared by the boards, which may outlive this manager at quit.
    const std::shared_ptr<InkBudget> ink = std::make_shared<InkBudget>();
};
