// One run of the real viewer as a native Wayland client: weston with its X11 backend, nested in
// a private Xvfb, gives the viewer a compositor with an input seat. The pointer and button are
// driven through XTest on the Xvfb, which weston passes on as Wayland pointer events; what the
// compositor shows is read with weston-screenshooter.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/child_process.h"
#include "tests/e2e/viewer_session.h"
#include "tests/e2e/x_server.h"

namespace fractal::e2e {

// A position on weston's output, in pixels from its top-left corner.
struct OutputPoint {
  int x = 0;
  int y = 0;
};

// What weston's output shows, row by row, as packed colours.
struct Screen {
  int width = 0;
  int height = 0;
  std::vector<Colour> pixels;
  Colour At(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
};

// Half the side of the square around the pointer that a comparison leaves out: the pointer's
// image is drawn over the picture there.
inline constexpr int kPointerReach = 32;

// Where the 400 x 400 `want` stands on `screen`, the square around `pointer` left out; nothing if
// it stands nowhere.
std::optional<OutputPoint> FindPicture(const Screen& screen, const Picture& want,
                                       OutputPoint pointer);
// How the 400 x 400 region of `screen` at `origin` differs from `want`, the square around
// `pointer` left out; empty when it agrees.
std::string DifferenceAt(const Screen& screen, OutputPoint origin, const Picture& want,
                         OutputPoint pointer);

class WestonSession {
 public:
  // Starts Xvfb, weston in it, and the viewer with `viewer_env` added to its environment.
  explicit WestonSession(const std::vector<std::string>& viewer_env = {});
  ~WestonSession();
  WestonSession(const WestonSession&) = delete;
  WestonSession& operator=(const WestonSession&) = delete;

  ChildProcess& viewer() { return *viewer_; }
  OutputPoint pointer() const { return pointer_; }
  // What the viewer wrote to its standard error so far, its log of Wayland messages left out.
  std::string ViewerErrors() const;
  // Every title the viewer has asked the compositor to show, in order.
  std::vector<std::string> TitlesSet() const;

  // The output as weston shows it now, or nothing if the screenshot failed.
  std::optional<Screen> Screenshot();
  // Waits until `want` stands somewhere on the output; `last` keeps the last screenshot.
  std::optional<OutputPoint> WaitForPicture(const Picture& want, Clock::time_point deadline,
                                            Screen& last);
  // Waits until `want` stands at `origin`.
  bool WaitForPictureAt(OutputPoint origin, const Picture& want, Clock::time_point deadline,
                        Screen& last);

  // Moves the pointer to `point`, from outside the output, and waits until the X server has it
  // there.
  bool MovePointer(OutputPoint point, Clock::time_point deadline);
  // Moves there, then presses and releases the first button.
  bool ClickAt(OutputPoint point, Clock::time_point deadline);

 private:
  bool WaitForCompositor(Clock::time_point deadline);
  bool MoveXPointer(OutputPoint point, Clock::time_point deadline);
  OutputPoint OutputOrigin();
  std::string ViewerLog() const;

  VirtualServer server_;
  Connection connection_;
  std::filesystem::path runtime_dir_;  // XDG_RUNTIME_DIR of weston and the viewer
  std::optional<ChildProcess> weston_;
  std::optional<ChildProcess> viewer_;
  OutputPoint pointer_;
  int screenshots_ = 0;
};

}  // namespace fractal::e2e
