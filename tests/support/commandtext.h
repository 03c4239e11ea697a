#pragma once
// The dispatcher's commands to the windows as short texts, so that a test can
// compare what was asked with a written expectation ("board p1 stroke-to 960,540").
// A connection's number stands as "#".

#include "protocol/commands.h"

#include <QString>

namespace jwtest
{

inline QString text(const cmd::ShowCommand& c)
{
    struct Text {
        QString operator()(const cmd::ShowState& s) const
        {
            QStringList parts;
            if (s.close)
                parts << "close";
            if (s.target != cmd::ShowTarget::Keep)
                parts << (s.target == cmd::ShowTarget::Shown ? "shown" : "hidden");
            return "show " + parts.join(',');
        }
        QString operator()(const cmd::ShowPicture& p) const { return "picture #," + p.url; }
        QString operator()(const cmd::PlayVideo& v) const
        {
            return "video " + v.url + ",#," + v.from;
        }
        QString operator()(const cmd::VideoControl& v) const
        {
            static const char* const kActs[] = {"play", "stop", "pause", "mute", "unmute"};
            return QString("video ") + kActs[int(v.act)];
        }
        QString operator()(const cmd::VideoStep& v) const
        {
            return "video step " + QString::number(v.ms);
        }
        QString operator()(const cmd::VideoSeek& v) const
        {
            return "video seek " + QString::number(v.ms);
        }
        QString operator()(const cmd::VideoVolume& v) const
        {
            return "video volume " + QString::number(v.value);
        }
    };
    return std::visit(Text{}, c);
}

inline QString text(const cmd::BoardCommand& c)
{
    auto at = [](const QPoint& p) { return QString("%1,%2").arg(p.x()).arg(p.y()); };
    struct Text {
        decltype(at) pos;
        QString operator()(const cmd::BoardOpen&) const { return "open"; }
        QString operator()(const cmd::BoardClose&) const { return "close"; }
        QString operator()(const cmd::StrokeStart& a) const { return "stroke-start " + pos(a.at); }
        QString operator()(const cmd::StrokeTo& a) const { return "stroke-to " + pos(a.at); }
        QString operator()(const cmd::StrokeEnd&) const { return "stroke-end"; }
        QString operator()(const cmd::SetShape& a) const
        {
            return "shape " + QString::number(int(a.shape));
        }
        QString operator()(const cmd::SetColor& a) const
        {
            return QString("color %1,%2,%3").arg(a.r).arg(a.g).arg(a.b);
        }
        QString operator()(const cmd::SetPenWidth& a) const
        {
            return "pen " + QString::number(a.width);
        }
        QString operator()(const cmd::ClearBoard&) const { return "clear"; }
        QString operator()(const cmd::Undo&) const { return "undo"; }
        QString operator()(const cmd::Redo&) const { return "redo"; }
        QString operator()(const cmd::TextStart& a) const { return "text-start " + pos(a.at); }
        QString operator()(const cmd::TextSet& a) const { return "text " + a.text; }
        QString operator()(const cmd::TextEnd&) const { return "text-end"; }
    };
    return "board " + c.id + ' ' + std::visit(Text{at}, c.action);
}

inline QString text(const cmd::MainCommand& c)
{
    struct Text {
        QString operator()(const cmd::ControllerAdded& u) const
        {
            return "added " + u.id + ',' + u.name + ',' + u.ip;
        }
        QString operator()(const cmd::ControllerRemoved& u) const { return "removed " + u.id; }
        QString operator()(const cmd::ChangeResolution& r) const
        {
            return QString("resolution %1,%2").arg(r.width).arg(r.height);
        }
        QString operator()(const cmd::RestoreResolution&) const { return "resolution restored"; }
        QString operator()(const cmd::LocalAddresses& l) const
        {
            return QString(l.changed ? "addresses changed" : "addresses");
        }
    };
    return std::visit(Text{}, c);
}

} // namespace jwtest
