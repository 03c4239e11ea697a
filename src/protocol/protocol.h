#pragma once
// The protocol words: member names, type values, act and value words and fixed
// values of the wire format. Every other file uses these, never the literals.

namespace proto
{
// Member names
inline constexpr char kType[] = "type";
inline constexpr char kId[] = "id";
inline constexpr char kFrom[] = "from";
inline constexpr char kTo[] = "to";
inline constexpr char kName[] = "name";
inline constexpr char kIp[] = "ip";
inline constexpr char kPwd[] = "pwd";
inline constexpr char kVersion[] = "version";
inline constexpr char kToken[] = "token";
inline constexpr char kRcPort[] = "rc_port";
inline constexpr char kRet[] = "ret";
inline constexpr char kDesc[] = "desc";
inline constexpr char kValue[] = "value";
inline constexpr char kUrl[] = "url";
inline constexpr char kAct[] = "act";
inline constexpr char kTime[] = "time";
inline constexpr char kWidth[] = "width";
inline constexpr char kHeight[] = "height";
inline constexpr char kX[] = "x";
inline constexpr char kY[] = "y";
inline constexpr char kR[] = "r";
inline constexpr char kG[] = "g";
inline constexpr char kB[] = "b";
inline constexpr char kText[] = "text";
inline constexpr char kPort[] = "port";
inline constexpr char kPath[] = "path";
inline constexpr char kFiles[] = "files";
inline constexpr char kSize[] = "size";
// A page's login asks for the reports to pages with this member ("1").
inline constexpr char kReports[] = "reports";

// Type values
inline constexpr char kLogin[] = "login";
inline constexpr char kLogout[] = "logout";
inline constexpr char kMode[] = "mode";
inline constexpr char kShowImage[] = "show.image";
inline constexpr char kShowVideo[] = "show.video";
inline constexpr char kShowVideoControl[] = "show.video.control";
inline constexpr char kShowVideoInfo[] = "show.video.info";
inline constexpr char kResolution[] = "resolution";
inline constexpr char kMouseMove[] = "mouse.move";
inline constexpr char kKeepAlive[] = "rcserver.keepalive";
inline constexpr char kFileList[] = "file.list";
inline constexpr char kFileOpen[] = "file.open";
inline constexpr char kFileClose[] = "file.close";
inline constexpr char kWbStart[] = "whiteboard.start";
inline constexpr char kWbEnd[] = "whiteboard.end";
inline constexpr char kWbDrawStart[] = "whiteboard.draw.start";
inline constexpr char kWbDrawing[] = "whiteboard.drawing";
inline constexpr char kWbDrawEnd[] = "whiteboard.draw.end";
inline constexpr char kWbShape[] = "whiteboard.shape";
inline constexpr char kWbColor[] = "whiteboard.color";
inline constexpr char kWbPenWidth[] = "whiteboard.pen.width";
inline constexpr char kWbClear[] = "whiteboard.clear";
inline constexpr char kWbUndo[] = "whiteboard.undo";
inline constexpr char kWbRedraw[] = "whiteboard.redraw";
inline constexpr char kWbStringStart[] = "whiteboard.string.start";
inline constexpr char kWbStringSet[] = "whiteboard.string.set";
inline constexpr char kWbStringEnd[] = "whiteboard.string.end";
inline constexpr char kKey[] = "key";
// What came of a page's request, and what the page needs to know of the show
// (browser pages that asked for it at login only; TCP controllers never get it).
inline constexpr char kShowReport[] = "show.report";

// Act and value words
inline constexpr char kShow[] = "show";
inline constexpr char kRemote[] = "remote";
inline constexpr char kPlay[] = "play";
inline constexpr char kStop[] = "stop";
inline constexpr char kPause[] = "pause";
inline constexpr char kFastForward[] = "fast-forward";
inline constexpr char kFastBackward[] = "fast-backward";
inline constexpr char kSeek[] = "seek";
inline constexpr char kVolume[] = "volume";
inline constexpr char kMute[] = "mute";
inline constexpr char kTrue[] = "true";
inline constexpr char kSet[] = "set";
inline constexpr char kReduction[] = "reduction";
inline constexpr char kLine[] = "line";
inline constexpr char kEllipse[] = "ellipse";
inline constexpr char kRect[] = "rect";
inline constexpr char kCurve[] = "curve";
inline constexpr char kDuration[] = "duration";
inline constexpr char kPosition[] = "position";
inline constexpr char kStatus[] = "status";
inline constexpr char kPlaying[] = "playing";
inline constexpr char kPaused[] = "paused";
inline constexpr char kStoped[] = "stoped";
// Values of "key"
inline constexpr char kKeyNext[] = "next";
inline constexpr char kKeyPrevious[] = "previous";
inline constexpr char kKeyFirst[] = "first";
inline constexpr char kKeyLast[] = "last";
inline constexpr char kKeyStart[] = "start";
inline constexpr char kKeyEnd[] = "end";
inline constexpr char kKeyBlack[] = "black";
inline constexpr char kKeyWhite[] = "white";

// The reports to pages: act, value and reason (desc) words.
inline constexpr char kActImage[] = "image";     // a show.image: value shown or failed
inline constexpr char kActVideo[] = "video";     // a show.video that cannot be opened
inline constexpr char kActWindow[] = "window";   // the show window after a mode
inline constexpr char kActHello[] = "hello";     // after the login: the program's name
inline constexpr char kActPicture[] = "picture"; // a small copy of the shown picture
inline constexpr char kShown[] = "shown";
inline constexpr char kFailed[] = "failed";
inline constexpr char kFull[] = "full";
inline constexpr char kWindowed[] = "windowed";
inline constexpr char kHidden[] = "hidden";
inline constexpr char kKept[] = "kept"; // the controller was still there (a reload)
inline constexpr char kNew[] = "new";
inline constexpr char kNotFound[] = "not found";
inline constexpr char kNotPicture[] = "not a picture";
inline constexpr char kTooLarge[] = "too large";
inline constexpr char kCannotConnect[] = "cannot connect";
inline constexpr char kTooSlow[] = "too slow";
inline constexpr char kNotWebAddress[] = "not a web address";
inline constexpr char kCancelled[] = "cancelled";
inline constexpr char kCannotOpen[] = "cannot open";
inline constexpr char kNotFullScreen[] = "not full screen";
inline constexpr char kNotShown[] = "not shown";

// Fixed values
inline constexpr char kIdentity[] = "jwshow";
inline constexpr char kProtoVersion[] = "1.0.4.111";
inline constexpr char kReportId[] = "000000";
inline constexpr char kFileListTo[] = "00";
inline constexpr char kOk[] = "0";
inline constexpr char kFail[] = "-1";

// Settings (group and keys of app.ini)
inline constexpr char kConfig[] = "config";
inline constexpr char kCfgPort[] = "port";
inline constexpr char kCfgAutoFull[] = "autofull";
inline constexpr char kCfgRunTray[] = "runtray";
inline constexpr char kCfgPairing[] = "pairing";
inline constexpr char kCfgWebPort[] = "webport";
inline constexpr char kCfgScreen[] = "screen";
} // namespace proto
