// What a person's desktop does with the viewer's window, over one X connection: it maps the
// windows that ask to be shown (as a window manager does, so a window's first title is seen
// before the window can change it), follows their titles, moves the pointer and clicks with
// real input events, reads the window's pixels and sends the close box's request.
#pragma once

#include <X11/Xlib.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/window_e2e/child_process.h"

namespace fractal::e2e {

// One window's pixels, row by row from the top, each packed as red + 256 green + 65536 blue.
struct Capture {
  int width = 0;
  int height = 0;
  std::vector<std::int32_t> pixels;
};

class Desktop {
 public:
  // Connects to `display_name` and takes the window manager's part on its screen.
  explicit Desktop(const std::string& display_name);
  ~Desktop();
  Desktop(const Desktop&) = delete;
  Desktop& operator=(const Desktop&) = delete;

  // Handles everything the server has sent, waiting up to `timeout` for the first of it.
  void Pump(std::chrono::milliseconds timeout);
  // Pumps until `done()` holds or `deadline` passes; returns whether it holds.
  bool PumpUntil(const std::function<bool()>& done, Clock::time_point deadline);

  // The most recently mapped window of process `pid` that still exists.
  std::optional<Window> WindowOf(pid_t pid);
  // Whether `window` is mapped and has not been destroyed, as far as the events handled tell.
  bool Manages(Window window) const;
  // Every title read from a mapped window: the one it had when it asked to be mapped, then
  // the one it had at each change. A change read late shows the title of that moment, so two
  // quick changes can read the same.
  const std::vector<std::string>& TitlesRead() const { return titles_read_; }
  std::string CurrentTitle() const;
  // When `title` was first read, if it has been.
  std::optional<Clock::time_point> FirstReadAt(std::string_view title) const;
  // How many times a mapped window has set its title; every change counts, however quick.
  std::size_t TitleChanges() const { return title_changes_; }

  struct Point {
    int x = 0;
    int y = 0;
  };
  // Where the pointer is, relative to `window`'s top left corner.
  std::optional<Point> PointerIn(Window window);
  // Moves the pointer over (x, y) of `window` and reports whether the server puts it there.
  bool MovePointer(Window window, int x, int y);
  // Presses and releases the left button where the pointer is.
  void ClickLeftButton();
  // Whether `window` asks its window manager to send it WM_DELETE_WINDOW instead of killing it.
  bool TakesCloseRequests(Window window);
  // What a window manager sends when the close box is pressed.
  void SendCloseRequest(Window window);
  std::optional<Capture> CaptureWindow(Window window);

 private:
  void Handle(const XEvent& event);
  void Adopt(Window window);
  void Forget(Window window);
  void RecordTitle(Window window);
  std::optional<std::string> ReadTitle(Window window);
  std::optional<pid_t> ProcessOf(Window window);

  Display* display_ = nullptr;
  Window root_ = 0;
  Atom net_wm_name_ = 0;
  Atom net_wm_pid_ = 0;
  Atom utf8_string_ = 0;
  Atom wm_protocols_ = 0;
  Atom wm_delete_window_ = 0;
  std::vector<Window> mapped_;
  std::vector<std::string> titles_read_;
  std::vector<Clock::time_point> titles_read_at_;
  std::size_t title_changes_ = 0;
};

}  // namespace fractal::e2e
