#include "tests/window_e2e/viewer_session.h"

#include <iomanip>
#include <sstream>
#include <stdexcept>

namespace fractal::e2e {
namespace {

constexpr std::chrono::seconds kWindowTimeout{15};
// SDL drops a button press that comes within 10 ms of its window gaining focus (the click
// that focuses a window only focuses it); 1 ms more covers the clocks' rounding.
constexpr std::chrono::milliseconds kFocusClickGuard{11};

std::string Hex(std::int32_t colour) {
  std::ostringstream text;
  text << "0x" << std::hex << std::setw(6) << std::setfill('0') << colour;
  return text.str();
}

// Empty when they agree; otherwise where and how they differ.
std::string Difference(const Capture& capture, const std::vector<std::int32_t>& expected) {
  if (capture.pixels.size() != expected.size()) {
    return "the window is " + std::to_string(capture.width) + " x " +
           std::to_string(capture.height);
  }
  std::size_t differing = 0;
  std::size_t first = 0;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (capture.pixels[i] == expected[i]) continue;
    if (differing++ == 0) first = i;
  }
  if (differing == 0) return {};
  const auto width = static_cast<std::size_t>(capture.width);
  return std::to_string(differing) + " pixels differ; the first at column " +
         std::to_string(first % width) + ", row " + std::to_string(first / width) + " shows " +
         Hex(capture.pixels[first]) + " instead of " + Hex(expected[first]);
}

}  // namespace

ViewerSession::ViewerSession()
    : desktop_(server_.DisplayName()),
      // The video driver is named: without a display SDL would quietly draw off screen.
      viewer_({FRACTAL_VIEWER_PATH},
              EnvironmentWith({"DISPLAY=" + server_.DisplayName(), "SDL_VIDEODRIVER=x11"})) {}

Window ViewerSession::AwaitWindow() {
  std::optional<Window> window;
  desktop_.PumpUntil(
      [&] {
        window = desktop_.WindowOf(viewer_.Pid());
        return window.has_value() || !viewer_.Running();
      },
      Clock::now() + kWindowTimeout);
  if (!window) throw std::runtime_error("the viewer showed no window");
  last_window_ = *window;
  return *window;
}

::testing::AssertionResult ViewerSession::ViewerStillRuns() {
  if (viewer_.Running()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "the viewer " << DescribeWaitStatus(*viewer_.WaitForExit(Clock::now()));
}

::testing::AssertionResult ViewerSession::ClickAt(int x, int y) {
  // The window gains focus as it is shown, and the viewer has taken that in before its first
  // drawing reads "Ready."; a person never clicks so soon after, and neither does this.
  if (const std::optional<Clock::time_point> ready = desktop_.FirstReadAt(kReadyTitle)) {
    const Clock::time_point focus_settled = *ready + kFocusClickGuard;
    desktop_.PumpUntil([&] { return Clock::now() >= focus_settled; }, focus_settled);
  }
  if (!desktop_.MovePointer(AwaitWindow(), x, y)) {
    return ::testing::AssertionFailure() << "the pointer did not reach (" << x << ", " << y << ")";
  }
  desktop_.ClickLeftButton();
  return ViewerStillRuns();
}

::testing::AssertionResult ViewerSession::AwaitTitle(std::string_view title,
                                                     Clock::duration timeout) {
  return AwaitTitleChange(0, title, timeout);
}

::testing::AssertionResult ViewerSession::AwaitTitleChange(std::size_t changes_before,
                                                           std::string_view title,
                                                           Clock::duration timeout) {
  const bool seen = desktop_.PumpUntil(
      [&] {
        const bool changed = desktop_.TitleChanges() > changes_before;
        return (changed && desktop_.CurrentTitle() == title) || !viewer_.Running();
      },
      Clock::now() + timeout);
  if (::testing::AssertionResult running = ViewerStillRuns(); !running) return running;
  if (seen) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "the title reads \"" << desktop_.CurrentTitle() << "\", not \"" << title << "\"";
}

::testing::AssertionResult ViewerSession::AwaitPicture(const std::vector<std::int32_t>& expected,
                                                       Clock::duration timeout) {
  std::string difference = "the title never read \"Ready.\"";
  const bool shown = desktop_.PumpUntil(
      [&] {
        if (!viewer_.Running()) return true;
        if (desktop_.CurrentTitle() != kReadyTitle) return false;
        // The last rows reach the screen at the next present, just after the title changes.
        const std::optional<Capture> capture = desktop_.CaptureWindow(AwaitWindow());
        difference = capture ? Difference(*capture, expected) : "no capture";
        return difference.empty();
      },
      Clock::now() + timeout);
  if (::testing::AssertionResult running = ViewerStillRuns(); !running) return running;
  if (shown) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "title \"" << desktop_.CurrentTitle() << "\": " << difference;
}

Clock::time_point ViewerSession::RequestClose() {
  const Window window = AwaitWindow();
  const Clock::time_point sent = Clock::now();
  desktop_.SendCloseRequest(window);
  return sent;
}

std::optional<int> ViewerSession::AwaitExit(Clock::duration timeout) {
  return viewer_.WaitForExit(Clock::now() + timeout);
}

bool ViewerSession::AwaitWindowGone(Clock::duration timeout) {
  return desktop_.PumpUntil([&] { return !desktop_.Manages(last_window_); },
                            Clock::now() + timeout);
}

}  // namespace fractal::e2e
