#include "platform/sdl_wayland.h"

#include <SDL_syswm.h>
#include <wayland-client-core.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fractal {
namespace {

wl_display* WaylandDisplayOf(SDL_Window* window) {
  SDL_SysWMinfo info;
  SDL_VERSION(&info.version);
  if (window == nullptr || SDL_GetWindowWMInfo(window, &info) != SDL_TRUE ||
      info.subsystem != SDL_SYSWM_WAYLAND) {
    return nullptr;
  }
  return info.info.wl.display;
}

}  // namespace

bool WaylandConnectionLost(SDL_Window* window) {
  wl_display* display = WaylandDisplayOf(window);
  return display != nullptr && wl_display_get_error(display) != 0;
}

void EndForLostConnection(SDL_Window* window) {
  const int error = wl_display_get_error(WaylandDisplayOf(window));
  std::fprintf(stderr, "fractal_viewer: the connection to the Wayland compositor was lost: %s\n",
               std::strerror(error));
  std::fflush(stderr);
  // At once, as EndProcess ends the process: nothing can reach the compositor any more.
  std::_Exit(1);
}

}  // namespace fractal
