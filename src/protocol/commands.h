#pragma once
// What the dispatcher asks of the windows, one typed command per request, and what
// the show window reports back. A packet type lives in three places: the protocol
// table, its handler in the dispatcher, and the apply() of the window it asks.

#include "protocol/jwmess.h"

#include <QPoint>
#include <QString>
#include <QStringList>
#include <variant>

namespace cmd
{

// --- the show window -----------------------------------------------------------
// Show, hide and close reach the window as one ShowState: the dispatcher merges
// those that wait (see JWdataManage::toGuiShowState).
enum class ShowTarget { Keep, Shown, Hidden };
struct ShowState {
    bool close = false; // the show ends first (the last controller left)
    ShowTarget target = ShowTarget::Keep;
};
struct ShowPicture {
    SOCKET sock;
    QString url;
    // A browser page's request: what came of it is reported to that controller,
    // under the request's id. Empty for everyone else.
    QString from = QString();
    QString id = QString();
};
struct PlayVideo {
    QString url;
    SOCKET sock; // the connection and controller the reports go to
    QString from;
};
enum class VideoAct { Play, Stop, Pause, Mute, Unmute };
struct VideoControl {
    VideoAct act;
};
struct VideoStep {
    qint64 ms; // negative: backward
};
struct VideoSeek {
    qint64 ms;
};
struct VideoVolume {
    int value;
};
using ShowCommand = std::variant<ShowState, ShowPicture, PlayVideo, VideoControl, VideoStep,
                                 VideoSeek, VideoVolume>;

// --- the boards, each its controller's -------------------------------------------
enum class Shape { Line = 1, Ellipse = 3, Rect = 4, Curve = 5 };
struct BoardOpen {
};
struct BoardClose {
};
struct StrokeStart {
    QPoint at;
};
struct StrokeTo {
    QPoint at;
};
struct StrokeEnd {
};
struct SetShape {
    Shape shape;
};
struct SetColor {
    int r, g, b;
};
struct SetPenWidth {
    int width;
};
struct ClearBoard {
};
struct Undo {
};
struct Redo {
};
struct TextStart {
    QPoint at;
};
struct TextSet {
    QString text;
};
struct TextEnd {
};
using BoardAction =
    std::variant<BoardOpen, BoardClose, StrokeStart, StrokeTo, StrokeEnd, SetShape, SetColor,
                 SetPenWidth, ClearBoard, Undo, Redo, TextStart, TextSet, TextEnd>;
struct BoardCommand {
    QString id; // the controller, whose board it is
    BoardAction action;
};

// --- the main window ---------------------------------------------------------------
struct ControllerAdded {
    QString id, name, ip;
};
struct ControllerRemoved {
    QString id;
};
struct ChangeResolution {
    ulong width, height;
};
struct RestoreResolution {
};
struct LocalAddresses {
    QStringList ips;
    bool changed = false; // false: the first announcement at start
};
using MainCommand = std::variant<ControllerAdded, ControllerRemoved, ChangeResolution,
                                 RestoreResolution, LocalAddresses>;

// --- what the show window reports: the video's state, for its controller ----------
enum class VideoInfo { Duration, Position, Status, Volume };
struct VideoReport {
    SOCKET sock;
    QString to;
    VideoInfo what;
    QString value; // milliseconds, "playing"/"paused"/"stoped", or the volume
};

// --- what the show window tells the browser remote's pages ---------------------------
// Pages learn what came of a request (TCP controllers do not: their apps know only
// the protocol's packets). The dispatcher sends it as a "show.report".
struct PageReport {
    QString act; // proto::kActImage, kActVideo or kActWindow
    QString to;  // the controller it concerns; empty: every page
    QString id;  // the request's, when known
    bool ok = true;
    QString value;  // proto::kShown, kFailed, kFull, kWindowed, kHidden
    QString reason; // why not: proto::kNotFound, kTooLarge, ...
};

} // namespace cmd
