// The drawing routine: the whole escape-time picture of the current view, row by row.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "render/row_source.h"
#include "view/view_state.h"

namespace fractal {

// Counts the drawings started, so that a drawing interrupted by a click can tell, when it
// resumes, that the click's own drawing has already drawn the newer view.
struct DrawingCounter {
  std::uint64_t started = 0;
};

// Sets "Drawing...", draws every row bottom row first, each left to right, handles pending
// events after each row and while it waits for one, and sets "Ready.". A drawing that finds,
// after handling events, that a newer drawing has run returns at once and leaves the caption as
// that drawing left it.
void DrawFractal(Platform& platform, ViewState& view, RowSource& rows, DrawingCounter& drawings);

}  // namespace fractal
