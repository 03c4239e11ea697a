#pragma once
// Whether the desktop composites windows, so that a translucent window shows what
// lies beneath it. Where nothing does (a bare X server), such a window is drawn
// black.

namespace host
{
bool CompositorRunning();
} // namespace host
