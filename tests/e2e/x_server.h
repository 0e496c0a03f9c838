// A private virtual X server for one test, and the test's own connection to it.
#pragma once

#include <X11/Xlib.h>

#include <functional>
#include <memory>
#include <string>

#include "tests/e2e/child_process.h"

namespace fractal::e2e {

// Xvfb on a display number no other server holds, 1024 x 768 at depth 24 so that captured
// colours are exact. Ready once a client can connect; stopped when the object goes.
class VirtualServer {
 public:
  VirtualServer();
  const std::string& display_name() const { return display_name_; }

 private:
  bool TryStart(int number);

  std::unique_ptr<ChildProcess> process_;
  std::string display_name_;
};

// A display name (":N") that no X server holds now.
std::string UnusedDisplayName();

// Moves the pointer through XTest about the `size` x `size` square of the screen whose top-left
// corner is (`left`, `top`), for `duration`, as fast as the server takes the motions, each to
// another pixel; returns how many it sent. After each round trip to the server, `pace` (if
// given) is told how many were sent so far, and may hold the flood back until `end`.
std::size_t FloodPointerOver(
    Display* display, int left, int top, int size, Clock::duration duration,
    const std::function<void(std::size_t sent, Clock::time_point end)>& pace = {});

// A connection to a display, closed when the object goes. X errors are recorded instead of
// ending the test: the viewer's window can vanish between two requests.
class Connection {
 public:
  explicit Connection(const std::string& display_name);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  Display* get() const { return display_; }
  // Waits for every request sent so far; true if none of them failed since the last call.
  bool SyncWithoutErrors();

 private:
  Display* display_ = nullptr;
};

}  // namespace fractal::e2e
