#pragma once
// The dispatcher's commands to the windows as short texts, so that a test can
// compare what was asked with a written expectation ("board p1 stroke-to 960,540").
// A connection's number stands as "#".

#include "protocol/commands.h"

#include <QString>

namespace jwtest
{

template <class... F> struct Texts : F... {
    using F::operator()...;
};
template <class... F> Texts(F...) -> Texts<F...>;

inline QString pos(const QPoint& p)
{
    return QString("%1,%2").arg(p.x()).arg(p.y());
}

inline QString text(const cmd::ShowCommand& c)
{
    using namespace cmd;
    static const char* const kActs[] = {"play", "stop", "pause", "mute", "unmute"};
    return std::visit(
        Texts{[](const ShowState& s) {
                  QStringList parts;
                  if (s.close)
                      parts << "close";
                  if (s.target != ShowTarget::Keep)
                      parts << (s.target == ShowTarget::Shown ? "shown" : "hidden");
                  return "show " + parts.join(',');
              },
              [](const ShowPicture& p) { return "picture #," + p.url; },
              [](const PlayVideo& v) { return "video " + v.url + ",#," + v.from; },
              [](const VideoControl& v) { return QString("video ") + kActs[int(v.act)]; },
              [](const VideoStep& v) { return "video step " + QString::number(v.ms); },
              [](const VideoSeek& v) { return "video seek " + QString::number(v.ms); },
              [](const VideoVolume& v) { return "video volume " + QString::number(v.value); }},
        c);
}

inline QString text(const cmd::BoardCommand& c)
{
    using namespace cmd;
    return "board " + c.id + ' ' +
           std::visit(
               Texts{[](const BoardOpen&) { return QString("open"); },
                     [](const BoardClose&) { return QString("close"); },
                     [](const StrokeStart& a) { return "stroke-start " + pos(a.at); },
                     [](const StrokeTo& a) { return "stroke-to " + pos(a.at); },
                     [](const StrokeEnd&) { return QString("stroke-end"); },
                     [](const SetShape& a) { return "shape " + QString::number(int(a.shape)); },
                     [](const SetColor& a) {
                         return QString("color %1,%2,%3").arg(a.r).arg(a.g).arg(a.b);
                     },
                     [](const SetPenWidth& a) { return "pen " + QString::number(a.width); },
                     [](const ClearBoard&) { return QString("clear"); },
                     [](const Undo&) { return QString("undo"); },
                     [](const Redo&) { return QString("redo"); },
                     [](const TextStart& a) { return "text-start " + pos(a.at); },
                     [](const TextSet& a) { return "text " + a.text; },
                     [](const TextEnd&) { return QString("text-end"); }},
               c.action);
}

inline QString text(const cmd::MainCommand& c)
{
    using namespace cmd;
    return std::visit(
        Texts{[](const ControllerAdded& u) { return "added " + u.id + ',' + u.name + ',' + u.ip; },
              [](const ControllerRemoved& u) { return "removed " + u.id; },
              [](const ChangeResolution& r) {
                  return QString("resolution %1,%2").arg(r.width).arg(r.height);
              },
              [](const RestoreResolution&) { return QString("resolution restored"); },
              [](const LocalAddresses& l) {
                  return QString(l.changed ? "addresses changed" : "addresses");
              }},
        c);
}

} // namespace jwtest
