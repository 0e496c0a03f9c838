// One viewer started on its own X server, and the desktop a test drives it through.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "tests/window_e2e/child_process.h"
#include "tests/window_e2e/desktop.h"
#include "tests/window_e2e/virtual_x_server.h"

namespace fractal::e2e {

inline constexpr std::string_view kDrawingTitle = "Drawing...";
inline constexpr std::string_view kReadyTitle = "Ready.";

class ViewerSession {
 public:
  // Starts the X server, takes the desktop's part on it, then starts the viewer there.
  ViewerSession();

  Desktop& desktop() { return desktop_; }
  ChildProcess& viewer() { return viewer_; }

  // The viewer's window, once it has asked to be shown; throws if it does not in time. Looked
  // up by the viewer's pid every time, as the viewer could replace its window.
  Window AwaitWindow();

  // Moves the pointer over (x, y) of the window, confirms it is there, and clicks.
  ::testing::AssertionResult ClickAt(int x, int y);
  // Waits until the title reads `title`.
  ::testing::AssertionResult AwaitTitle(std::string_view title, Clock::duration timeout);
  // Waits until the title has changed more than `changes_before` times in all and reads `title`.
  ::testing::AssertionResult AwaitTitleChange(std::size_t changes_before, std::string_view title,
                                              Clock::duration timeout);
  // Waits until the title reads "Ready." and the whole window shows `expected`.
  ::testing::AssertionResult AwaitPicture(const std::vector<std::int32_t>& expected,
                                          Clock::duration timeout);

  // Sends the close box's request to the window; returns the moment just before it was sent.
  Clock::time_point RequestClose();
  // Waits for the viewer to end; its wait status, or nothing if it still runs at the timeout.
  std::optional<int> AwaitExit(Clock::duration timeout);
  // Pumps until the window last found has been destroyed, so every title it had is read.
  bool AwaitWindowGone(Clock::duration timeout);

 private:
  ::testing::AssertionResult ViewerStillRuns();

  VirtualXServer server_;
  Desktop desktop_;
  ChildProcess viewer_;
  Window last_window_ = None;
};

}  // namespace fractal::e2e
