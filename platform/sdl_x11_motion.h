// Pointer motion on X11, read as fast as it comes.
#pragma once

#include <SDL.h>

namespace fractal {

// Where `window` is an X11 window, keeps a flood of pointer motion from piling up in the
// process: a motion that arrives while the one before it still waits in Xlib's queue replaces
// it there. Elsewhere it does nothing.
void FoldPointerMotion(SDL_Window* window);

}  // namespace fractal
