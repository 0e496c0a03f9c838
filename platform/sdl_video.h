// Starting SDL's video on a window system that can show the window.
#pragma once

namespace fractal {

// Starts SDL's video subsystem. Without an SDL_VIDEODRIVER set by the user, only drivers that
// show a window on a screen are tried, never the off-screen or dummy ones SDL would otherwise
// fall back to. When none starts, says so in one line on stderr, naming DISPLAY and
// WAYLAND_DISPLAY, and ends the process with status 1.
void StartVideo();

}  // namespace fractal
