// The SDL2 window backend.
//
// Supports: one fixed-size window on X11 or natively on Wayland, with a framebuffer that
// survives being covered or minimised; caption; the window class of the desktop entry; pointer
// motion (any buttons held) and left-button clicks released inside the window; the close
// request; modal message boxes.
// Does not support: resizing, keyboard input, more than one window, high-DPI scaling, a window
// icon of its own (desktops take it from the desktop entry).
#pragma once

#include "platform/platform.h"

namespace fractal {

// Creates the window from `design`, raises Load on the handlers `factory` creates, and runs the
// event loop until the process ends. Never returns.
[[noreturn]] void RunSdlApplication(const FormDesign& design, const FormFactory& factory);

}  // namespace fractal
