// Which points of a view to count first, ahead of the rows: those near where the last drawing's
// orbits ran longest. Deep in the set a few orbits run hundreds of millions of steps; started
// with the last rows, they would leave a core to one orbit at the end of the drawing.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "render/kernel/escape_time.h"

namespace fractal {

struct ApartPoints {
  std::vector<std::int32_t> points;  // row * columns + column, the slowest expected first
  std::vector<char> apart;           // one per point of the view, row after row
};

// Whether the orbits of a view with these parameters may run long enough to set points apart in
// the next: below, PlanApartPoints sets none, and the view's work need not be kept.
bool PlansApartPointsFrom(const EscapeParams& last);

// The points of the view `next` near the points where the last view's orbits ran longest: the
// iterations `last_work` (one per point of `last`, row after row; 0 where none ran) at least
// 1/256 of its cap, or 2^20 where that is less. Empty where the last cap is too small for orbits
// that long to matter.
ApartPoints PlanApartPoints(const EscapeParams& last, std::span<const std::int64_t> last_work,
                            const EscapeParams& next, std::span<const double> ys,
                            std::span<const double> xs);

}  // namespace fractal
