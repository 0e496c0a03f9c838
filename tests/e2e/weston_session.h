// One run of the real viewer as a native Wayland client: weston with its X11 backend, nested in
// a private Xvfb, gives the viewer a compositor with an input seat. The pointer and button are
// driven through XTest on the Xvfb, which weston passes on as Wayland pointer events; what the
// compositor shows is read with weston-screenshooter. The viewer logs its Wayland messages, from
// which the test learns the titles it set and where its own pointer stands.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/child_process.h"
#include "tests/e2e/viewer_session.h"
#include "tests/e2e/wayland_log.h"
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
  // Ends weston, as a desktop session that ends does.
  void StopCompositor() { weston_.reset(); }
  OutputPoint pointer() const { return pointer_; }
  // What the viewer wrote to its standard error so far, its log of Wayland messages left out.
  std::string ViewerErrors();
  // Every title the viewer has asked the compositor to show, in order.
  std::vector<std::string> TitlesSet();
  // The log of the viewer's Wayland messages, read up to now.
  const WaylandLog& ViewerLog();

  // The output as weston shows it now, or nothing if the screenshot failed.
  std::optional<Screen> Screenshot();
  // Waits until `want` stands somewhere on the output; `last` keeps the last screenshot. Where
  // it stands is taken as the window's content from then on.
  std::optional<OutputPoint> WaitForPicture(const Picture& want, Clock::time_point deadline,
                                            Screen& last);
  // Waits until `want` stands at `origin`.
  bool WaitForPictureAt(OutputPoint origin, const Picture& want, Clock::time_point deadline,
                        Screen& last);

  // Moves the pointer to `point`, from outside the output, until the viewer's own pointer
  // reports it there: weston's pointer can come to rest a pixel from where the X pointer went,
  // and the move is then made again. Needs the content's place (WaitForPicture).
  bool PointViewerAt(OutputPoint point, Clock::time_point deadline);
  // Presses and releases the first button where the pointer is.
  bool Click();
  // PointViewerAt, then Click.
  bool ClickAt(OutputPoint point, Clock::time_point deadline);
  // How many moves PointViewerAt had to make again because the viewer's pointer stopped short.
  int pointer_moves_repeated() const { return pointer_moves_repeated_; }
  // Moves the pointer about the content for `duration`, as fast as the X server takes the
  // motions and passes them to weston; returns how many were sent.
  std::size_t FloodPointer(Clock::duration duration);

 private:
  bool WaitForCompositor(Clock::time_point deadline);
  bool MoveXPointer(OutputPoint point, Clock::time_point deadline);
  bool MovePointer(OutputPoint point, Clock::time_point deadline);
  bool ViewerPointerReaches(ContentPosition want, std::size_t events_before,
                            Clock::time_point deadline);
  OutputPoint OutputOrigin();

  VirtualServer server_;
  Connection connection_;
  std::filesystem::path runtime_dir_;  // XDG_RUNTIME_DIR of weston and the viewer
  std::optional<ChildProcess> weston_;
  std::optional<ChildProcess> viewer_;
  std::optional<WaylandLog> log_;
  std::optional<OutputPoint> content_origin_;
  OutputPoint pointer_;
  int screenshots_ = 0;
  int pointer_moves_repeated_ = 0;
};

}  // namespace fractal::e2e
