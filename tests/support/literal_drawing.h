// The drawing routine written out literally as a whole drawing through a window: the arithmetic
// of reference_drawing.h together with everything else the routine does for each point. Every
// point goes to the window on its own, the floating-point status is tested after every
// floating-point expression, every integer step is checked, the background is read from the
// window for each point at the cap, and the view is read afresh at every use. The benchmark times
// it against the fast drawing; the tests hold it to ReferencePicture.
#pragma once

#include "platform/platform.h"
#include "view/view_state.h"

namespace fractal::testing {

// Sets "Drawing...", sets every point of `view` row by row from y = 2 down, each row left to
// right, handles pending events after each row, and sets "Ready.". Errors are raised as the
// viewer raises them: a failed window call, an overflow, a floating-point fault.
void LiteralDrawing(Platform& platform, const ViewState& view);

}  // namespace fractal::testing
