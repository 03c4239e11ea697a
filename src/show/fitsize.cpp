#include "show/fitsize.h"

QSize fitSize(int w, int h, int W, int H)
{
    if (w <= W && h <= H)
        return QSize(w, h);
    // A degenerate client area (a window not laid out yet) would divide by zero.
    if (W <= 0 || H <= 0)
        return QSize(0, 0);
    const float rw = float(w) / float(W);
    const float rh = float(h) / float(H);
    if (rw > rh)
        return QSize(W, int(float(h) / rw));
    return QSize(int(float(w) / rh), H);
}
