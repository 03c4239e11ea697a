#pragma once
// The on-screen rectangle of the shown picture. The show window writes it on the
// GUI thread each time it lays a picture out; the dispatcher reads it without a
// lock to map controller coordinates (thousandths of the picture) to pixels.

#include <QPoint>
#include <atomic>

struct ImageRect {
    std::atomic<int> left{0};
    std::atomic<int> top{0};
    std::atomic<int> width{-1};
    std::atomic<int> height{-1};

    void set(int l, int t, int w, int h)
    {
        left = l;
        top = t;
        width = w;
        height = h;
    }
};

extern ImageRect ShowImageRect;

// Maps a point given in thousandths of the shown picture to screen pixels:
// left + trunc(x) * width / 1000 (likewise vertically). Non-finite or huge inputs
// saturate; the arithmetic is 64-bit and the result is clamped to int.
QPoint MapImagePoint(double x, double y);
QPoint MapImagePoint(double x, double y, int left, int top, int width, int height);
