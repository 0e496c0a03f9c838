// One run of the real viewer on its own virtual X server, driven only from outside: the
// pointer and button through XTest, the close box as a window manager sends it, the title and
// the pixels read back from the server.
#pragma once

#include <X11/Xlib.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/e2e/child_process.h"
#include "tests/e2e/x_server.h"

namespace fractal::e2e {

inline constexpr int kSurfaceSize = 400;
inline constexpr char kStartCaption[] = "Form1";
inline constexpr char kDrawingCaption[] = "Drawing...";
inline constexpr char kReadyCaption[] = "Ready.";

// The client area, row by row, as packed colours (red + 256 green + 65536 blue).
using Picture = std::vector<Colour>;

// One setting of the window's title, as the test learnt of it.
struct TitleSetting {
  Clock::time_point seen;
  std::string title;  // the title read back then
};

// The viewer the tests run: the one just built, or the one FRACTAL_VIEWER names (an installed
// viewer, for instance).
std::string ViewerPath();

class ViewerSession {
 public:
  ViewerSession();

  ChildProcess& viewer() { return viewer_; }

  // Waits until the viewer has a mapped 400 x 400 window.
  bool WaitForWindow(Clock::time_point deadline);
  // The window's title now, or nothing while the viewer has no window.
  std::optional<std::string> Title();
  // Waits until the title reads `caption`.
  bool WaitForTitle(const std::string& caption, Clock::time_point deadline);
  // Every title seen so far, without repeats of the one before.
  const std::vector<std::string>& titles_seen() const { return titles_seen_; }
  // Every setting of the title since the window was found, also one that repeats the title
  // shown: a drawing that starts inside another still sets "Drawing...".
  const std::vector<TitleSetting>& title_settings() const { return title_settings_; }
  // Waits for a setting of "Drawing..." after the first `already_seen` settings; when the test
  // learnt of it.
  std::optional<Clock::time_point> WaitForDrawingStart(std::size_t already_seen,
                                                       Clock::time_point deadline);

  // The client area as the server holds it, or nothing while the window cannot be read.
  std::optional<Picture> Capture();
  // Waits until the title reads "Ready." and a capture satisfies `matches`; `last` keeps the
  // last capture for the failure message.
  bool WaitForReadyPicture(const std::function<bool(const Picture&)>& matches,
                           Clock::time_point deadline, Picture& last);

  // Moves the pointer to a pixel of the client area and waits until the server has it there.
  bool MovePointer(int column, int row, Clock::time_point deadline);
  // Moves there, then presses and releases the first button, as a person clicks.
  bool ClickAt(int column, int row, Clock::time_point deadline);
  // The close box: a WM_DELETE_WINDOW client message, sent to the window the viewer has now.
  bool SendCloseRequest();
  // Moves the pointer about the client area through XTest for `duration`, as fast as the server
  // takes the motions; returns how many it sent.
  std::size_t FloodPointer(Clock::duration duration);

  // Calls `done` until it holds or the deadline passes, reading the title's changes between.
  bool PollUntil(Clock::time_point deadline, const std::function<bool()>& done);

 private:
  Window FindViewerWindow(Window parent);
  bool HaveWindow();
  void Watch(Window window);
  void RecordTitle();
  void HandlePendingEvents();

  VirtualServer server_;
  Connection connection_;
  ChildProcess viewer_;
  Window window_ = None;
  std::vector<std::string> titles_seen_;
  std::vector<TitleSetting> title_settings_;
};

// How two pictures differ, for a failure message; empty when they are equal.
std::string DescribeDifference(const Picture& got, const Picture& want);

}  // namespace fractal::e2e
