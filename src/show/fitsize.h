#pragma once
// The size a picture of w x h gets inside a client area of W x H.

#include <QSize>

// Never enlarges: a picture that fits keeps its size. A larger one is shrunk with
// its aspect ratio kept until it touches the area on its limiting side. The
// ratios are single-precision on purpose: every device lays a picture out to the
// same pixel, and the controllers' coordinate mapping relies on that size.
QSize fitSize(int w, int h, int W, int H);
