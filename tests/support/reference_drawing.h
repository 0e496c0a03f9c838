// The drawing arithmetic written out literally, one step at a time, as the picture is defined:
// every square through the power routine, the square root taken, the plane point recomputed in
// every iteration. Slow and plain on purpose: whole pictures are compared against it.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/platform.h"
#include "view/view_state.h"

namespace fractal::testing {

// Iterations of the point at view coordinates (x, y) in `view`.
std::int32_t ReferenceCount(const ViewState& view, double x, double y);

// Colour of a point with count n in `view`.
Colour ReferenceColour(const ViewState& view, std::int32_t n, Colour background);

// The surface after one whole drawing of `view` onto a width x height surface that showed
// `background` everywhere before.
std::vector<Colour> ReferencePicture(const ViewState& view, int width = 400, int height = 400,
                                     Colour background = 0);

// The view after the standard start on a 400 x 400 surface.
ViewState InitialView();

}  // namespace fractal::testing
