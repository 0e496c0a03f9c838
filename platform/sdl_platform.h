// The SDL2 window backend.
//
// Supports: one fixed-size window on X11 or natively on Wayland, with a framebuffer that
// survives being covered or minimised; caption; the window class of the desktop entry; pointer
// motion (any buttons held) and left-button clicks released inside the window, none lost however
// fast they come (a run of motions counts as its last); the close request, and SIGTERM as one;
// modal message boxes; one line on stderr and status 1 where no window system answers.
// Does not support: resizing, keyboard input, more than one window, high-DPI scaling, a window
// icon of its own (desktops take it from the desktop entry).
//
// Where both an X server and a Wayland compositor can be reached, SDL's own choice stands: X11,
// through XWayland under a Wayland desktop. There the compositor draws the desktop's own title
// bar (GNOME draws none for Wayland clients, which then get libdecor's plain one), and the
// viewer runs on the path its end-to-end tests cover most. It runs natively on Wayland where no
// X server is reached, or when SDL_VIDEODRIVER=wayland asks for it.
#pragma once

#include "platform/platform.h"

namespace fractal {

// Creates the window from `design`, raises Load on the handlers `factory` creates, and runs the
// event loop until the process ends. Never returns.
[[noreturn]] void RunSdlApplication(const FormDesign& design, const FormFactory& factory);

}  // namespace fractal
