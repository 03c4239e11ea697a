#pragma once
// The on-screen rectangle of the shown picture. The show window writes it on the
// GUI thread each time it lays a picture out; the dispatcher reads it to map
// controller coordinates (thousandths of the picture) to pixels. One value under
// a lock: a reader never sees half of a new rectangle.

#include <QPoint>
#include <mutex>

class ShowImageRect
{
public:
    // Width and height are -1 before the first picture. (Kept as four numbers, not
    // a QRect, whose right and bottom would overflow for a rectangle at the limits.)
    struct Rect {
        int left = 0, top = 0, width = -1, height = -1;
    };
    void set(int left, int top, int width, int height);
    Rect get() const;
    // The point x, y (thousandths of the picture) on the screen.
    QPoint map(double x, double y) const;

private:
    mutable std::mutex lock_;
    Rect rect_;
};

// Maps a point given in thousandths of a picture to screen pixels:
// left + trunc(x) * width / 1000 (likewise vertically). Non-finite or huge inputs
// saturate; the arithmetic is 64-bit and the result is clamped to int.
QPoint MapImagePoint(double x, double y, int left, int top, int width, int height);
