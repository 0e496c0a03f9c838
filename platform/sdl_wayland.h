// The viewer's connection to a Wayland compositor, as far as SDL hides it.
#pragma once

#include <SDL.h>

namespace fractal {

// True where `window` is a Wayland window whose connection to the compositor has failed: the
// compositor went away, or dropped the viewer. SDL reports that as a request to quit, which
// must not pass for the user's close.
bool WaylandConnectionLost(SDL_Window* window);

// Says that the connection to the compositor is lost, on one line of standard error, and ends
// the process with status 1.
[[noreturn]] void EndForLostConnection(SDL_Window* window);

}  // namespace fractal
