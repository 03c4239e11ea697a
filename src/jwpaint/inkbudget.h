#pragma once
// How much drawing all open whiteboards may hold together. Every point of a stroke
// and every character of a text costs a unit, a text item kTextCost more; a board
// gives its units back when it is cleared or closed. A phone sends some 60 to 100
// points a second while a finger moves, so the limit is a quarter of an hour of
// drawing without a pause; a sender of scattered points, which cost the most memory
// (about 0.5 KiB each, every one a segment of its own), can no longer grow the
// program without end: at the limit they hold about 50 MiB. Used on the GUI thread
// only.

#include <QtGlobal>

class InkBudget
{
public:
    static constexpr qint64 kDefaultLimit = 100000;
    static constexpr qint64 kTextCost = 50; // a text item's own weight (about 15 KiB)

    explicit InkBudget(qint64 limit = kDefaultLimit) : limit_(limit) {}

    // Takes units if they fit in what is left.
    bool take(qint64 units)
    {
        if (units > limit_ - used_)
            return false;
        used_ += units;
        return true;
    }
    void giveBack(qint64 units) { used_ -= qMin(units, used_); }
    qint64 used() const { return used_; }
    qint64 limit() const { return limit_; }

private:
    const qint64 limit_;
    qint64 used_ = 0;
};
