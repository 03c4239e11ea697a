#pragma once
// The whiteboard manager: receives the whiteboard commands as signals and keeps
// one whiteboard window per controller, forwarding each command to it.

#include <QDialog>
#include <QMap>
#include <QPixmap>
#include <QPointer>
#include <QRegion>

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
    void InitConnect();
    // What the dispatcher asks of a controller's board.
    void apply(const cmd::BoardCommand& c);

    // Where nothing composites windows, the boards are painted over a picture of
    // what lies beneath them: the picture of the screen, and where it shows what
    // is on the screen now (start-up hands in the show window's). Elsewhere a
    // board shows only its ink.
    struct Underlay {
        QPixmap picture;
        QRegion known;
    };
    void setUnderlaySource(std::function<Underlay()> source) { underlaySource = std::move(source); }
    PaintView* view(const QString& id) const { return views.value(id); }
    int viewCount() const { return views.size(); }
    // Boards open at once, at most: more serve no one and only cost memory (a
    // full-screen window and its underlay each).
    static constexpr int kMaxBoards = 16;
    int openBoards() const
    {
        return int(std::count_if(views.cbegin(), views.cend(),
                                 [](const QPointer<PaintView>& v) { return !v.isNull(); }));
    }

signals:
    void msg_startDraw(QString id, int x, int y);
    void msg_endDraw(QString id);
    void msg_drawing(QString id, int x, int y);
    void msg_setcolor(QString id, int r, int g, int b);
    void msg_penwidth(QString id, int width);
    void msg_shape(QString id, int shap);
    void msg_undo(QString id);
    void msg_clear(QString id);
    void msg_startWhiteboard(QString id);
    void msg_endWhiteboard(QString id);
    void msg_windowSize(QString id, int x, int y, int w, int h);
    void msg_close(QString id);
    void msg_closeAll();
    void msg_startText(QString id, int x, int y);
    void msg_setText(QString id, QString text);
    void msg_endText(QString id);
    void msg_redraw(QString id);

public slots:
    void sl_closeAll();
    void sl_windowSize(QString id, int x, int y, int w, int h);
    void sl_StartDraw(QString id, int x, int y);
    void sl_EndDraw(QString id);
    void sl_drawing(QString id, int x, int y);
    void sl_SetColor(QString id, int r, int g, int b);
    void sl_SetPenWidth(QString id, int width);
    void sl_SetShape(QString id, int shap);
    void sl_Undo(QString id);
    void sl_Clear(QString id);
    void sl_startWhiteboard(QString id);
    void sl_endWhiteboard(QString id);
    void sl_startText(QString id, int x, int y);
    void sl_setText(QString id, QString text);
    void sl_endText(QString id);
    void sl_redraw(QString id);
    // The picture under the boards changed: paint them over the new one.
    void sl_underlayChanged();
    // What lies beneath the boards changed (shown, hidden, moved, a video): the
    // same, once the event loop has run what came with it; and the boards go back
    // over a window that was shown over them.
    void sl_underlayChangedSoon();

private:
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
    bool composited = false;
    // Shared by the boards, which may outlive this manager at quit.
    const std::shared_ptr<InkBudget> ink = std::make_shared<InkBudget>();
};
