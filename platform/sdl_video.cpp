#include "platform/sdl_video.h"

#include <SDL.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace fractal {
namespace {

// Drivers that show nothing on any screen. SDL falls back to the first when no window system
// answers, and the viewer would then run unseen for ever.
constexpr std::array<std::string_view, 3> kUnseenDrivers{"offscreen", "dummy", "evdev"};

bool IsSet(const char* value) { return value != nullptr && *value != '\0'; }

std::string ValueOf(const char* variable) {
  const char* value = SDL_getenv(variable);
  return IsSet(value) ? std::string(variable) + "=" + value : std::string(variable) + " unset";
}

// A Wayland client finds its compositor through WAYLAND_SOCKET, an absolute WAYLAND_DISPLAY or
// a socket in XDG_RUNTIME_DIR. Without any of them there is none to find, and the client
// library would print a warning of its own on the way to failing.
bool WaylandCanAnswer() {
  const char* display = SDL_getenv("WAYLAND_DISPLAY");
  return IsSet(SDL_getenv("WAYLAND_SOCKET")) || (IsSet(display) && display[0] == '/') ||
         IsSet(SDL_getenv("XDG_RUNTIME_DIR"));
}

// SDL's drivers that can show the window, in SDL's own order of preference, comma-separated.
std::string ScreenDrivers() {
  std::string drivers;
  for (int i = 0; i < SDL_GetNumVideoDrivers(); ++i) {
    const std::string_view name = SDL_GetVideoDriver(i);
    const bool unseen =
        std::find(kUnseenDrivers.begin(), kUnseenDrivers.end(), name) != kUnseenDrivers.end();
    if (unseen || (name == "wayland" && !WaylandCanAnswer())) continue;
    if (!drivers.empty()) drivers += ',';
    drivers += name;
  }
  return drivers;
}

[[noreturn]] void NoWindowSystem(const std::string& detail) {
  std::fprintf(stderr,
               "fractal_viewer: cannot show the window: no X server or Wayland compositor "
               "answers (%s, %s): %s\n",
               ValueOf("DISPLAY").c_str(), ValueOf("WAYLAND_DISPLAY").c_str(), detail.c_str());
  std::fflush(stderr);
  // At once, as EndProcess ends the process: what SDL has started holds nothing to tidy up.
  std::_Exit(1);
}

}  // namespace

void StartVideo() {
  if (!IsSet(SDL_getenv("SDL_VIDEODRIVER"))) {
    const std::string drivers = ScreenDrivers();
    if (drivers.empty()) NoWindowSystem("no driver for a window system");
    SDL_SetHint(SDL_HINT_VIDEODRIVER, drivers.c_str());
  }
  if (SDL_Init(SDL_INIT_VIDEO) != 0) NoWindowSystem(SDL_GetError());
}

}  // namespace fractal
