// The SDL2 window backend.
//
// Supports: one fixed-size window with a software framebuffer that survives being covered or
// minimised; caption; pointer motion (any buttons held) and left-button clicks released inside
// the window, none lost however fast they come (a run of motions counts as its last); the close
// request, and SIGTERM as one; modal message boxes; one line on stderr and status 1 where no
// window system answers.
// Does not support: resizing, keyboard input, more than one window, high-DPI scaling.
#pragma once

#include "platform/platform.h"

namespace fractal {

// Creates the window from `design`, raises Load on the handlers `factory` creates, and runs the
// event loop until the process ends. Never returns.
[[noreturn]] void RunSdlApplication(const FormDesign& design, const FormFactory& factory);

}  // namespace fractal
