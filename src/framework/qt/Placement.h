// Where a tool window of the console (wire trace, batch record) goes: beside
// the console, never over it.
#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

#include <optional>

namespace fw {

// The top-left corner for a tool window of frame size `tool` on `screen` (its
// available area), given the console's frame rectangle.  A remembered place is
// kept while the tool there stays on the screen and off the console.  Else the
// first side with room: right of the console, left, below, above.  Where no
// side has room the tool goes on the side with the most, against the screen's
// edge, covering as little of the console as the screen allows.
QPoint PlaceBeside(const QRect& console, const QSize& tool, const QRect& screen,
                   std::optional<QPoint> remembered);

// The size for a tool window that has no room beside the console at its own
// size: the largest that fits on one side, no smaller than `minimum`.  The
// tool's own size when it fits somewhere or when no side holds `minimum`.
QSize FitBeside(const QRect& console, const QSize& tool, const QSize& minimum, const QRect& screen);

}  // namespace fw
