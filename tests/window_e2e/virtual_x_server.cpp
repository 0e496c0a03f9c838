#include "tests/window_e2e/virtual_x_server.h"

#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

namespace fractal::e2e {
namespace {

constexpr std::chrono::seconds kStartTimeout{15};
constexpr std::chrono::milliseconds kConnectRetry{10};
constexpr std::chrono::milliseconds kStopGrace{2000};

// The server writes its display number and a newline to `descriptor` once it accepts
// connections. Returns the number, or nothing if the server closed the pipe or took too long.
std::optional<std::string> ReadDisplayNumber(int descriptor, Clock::time_point deadline) {
  std::string number;
  while (Clock::now() < deadline) {
    pollfd readable{descriptor, POLLIN, 0};
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (poll(&readable, 1, static_cast<int>(left.count())) <= 0) continue;
    char c = 0;
    if (read(descriptor, &c, 1) != 1) return std::nullopt;
    if (c == '\n') return number;
    number += c;
  }
  return std::nullopt;
}

bool CanConnect(const std::string& display_name) {
  Display* display = XOpenDisplay(display_name.c_str());
  if (display == nullptr) return false;
  XCloseDisplay(display);
  return true;
}

}  // namespace

VirtualXServer::VirtualXServer() {
  int pipe_ends[2];
  if (pipe2(pipe_ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  // The server picks a free display itself (-displayfd): tests running side by side, and
  // anyone else's servers on this machine, never race for the same number.
  server_ =
      ChildProcess({FRACTAL_XVFB_PATH, "-displayfd", "3", "-screen", "0", "1024x768x24",
                    "-nolisten", "tcp", "-noreset"},
                   EnvironmentWith({}), {.descriptor_as_3 = pipe_ends[1], .silence_output = true});
  close(pipe_ends[1]);
  const Clock::time_point deadline = Clock::now() + kStartTimeout;
  const std::optional<std::string> number = ReadDisplayNumber(pipe_ends[0], deadline);
  close(pipe_ends[0]);
  if (!number || number->empty()) {
    throw std::runtime_error("the X server did not report a display number");
  }
  display_name_ = ":" + *number;
  while (!CanConnect(display_name_)) {
    if (!server_.Running() || Clock::now() >= deadline) {
      throw std::runtime_error("no connection to the X server on " + display_name_);
    }
    std::this_thread::sleep_for(kConnectRetry);
  }
}

VirtualXServer::~VirtualXServer() {
  // A terminated server removes its lock file and socket; a killed one would leave them.
  server_.Stop(SIGTERM, kStopGrace);
}

}  // namespace fractal::e2e
