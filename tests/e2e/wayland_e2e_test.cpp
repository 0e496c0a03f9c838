// The real viewer as a native Wayland client of weston: the exact first picture, a click, and the
// close box of the title bar that libdecor draws, since weston draws no decorations; a flood of
// pointer motion that loses neither the click after it nor the close request or SIGTERM; and a
// compositor that goes away, or a window the viewer cannot present to, end it with an error
// instead of a clean exit or a blank window.
#include <gtest/gtest.h>
#include <signal.h>

#include <iostream>

#include "tests/e2e/e2e_fixture.h"
#include "tests/e2e/weston_session.h"

namespace fractal::e2e {
namespace {

// libdecor's cairo plugin draws a title bar 24 pixels high over the content, with the close
// button in its rightmost 32 pixels.
constexpr int kTitleBarHeight = 24;
constexpr int kCloseButtonWidth = 32;
// On Wayland the viewer presents through EGL, and Mesa's software driver (there is no GPU here)
// holds more than the X11 tests' bound resident before the first picture, most of it LLVM's
// library: the flood may only add little to the viewer's peak.
constexpr long kFloodGrowthBoundKib = 4 * 1024;
// The longest the viewer may take to end once asked, after a flood too.
constexpr auto kExitBound = (kSanitized ? 4 : 1) * std::chrono::milliseconds(100);

OutputPoint On(OutputPoint origin, Pixel pixel) {
  return {origin.x + pixel.column, origin.y + pixel.row};
}

class NativeWayland : public ::testing::Test {
 protected:
  ~NativeWayland() override {
    std::cout << "pointer moves made again: " << session_.pointer_moves_repeated() << "\n";
  }

  // Waits for the exact first picture and returns where it stands on the output.
  OutputPoint FirstPicture() {
    Screen last;
    const std::optional<OutputPoint> origin = session_.WaitForPicture(
        testing::ReferencePicture(testing::InitialView()), In(kDrawingDeadline), last);
    EXPECT_TRUE(origin) << "the first picture never stood whole on the output; viewer: "
                        << session_.ViewerErrors();
    return origin.value_or(OutputPoint{});
  }

  // Clicks at `pixel` of the first picture and expects the exact picture of the click's view.
  void ClickAndExpectItsPicture(OutputPoint origin, Pixel pixel) {
    ASSERT_TRUE(session_.ClickAt(On(origin, pixel), In(kPointerDeadline)))
        << "the viewer's pointer never reported row " << pixel.row << " column " << pixel.column;
    const Picture zoomed = testing::ReferencePicture(ViewAfterClick(testing::InitialView(), pixel));
    Screen last;
    EXPECT_TRUE(session_.WaitForPictureAt(origin, zoomed, In(kDrawingDeadline), last))
        << DifferenceAt(last, origin, zoomed, session_.pointer());
  }

  // Asks the viewer to end; the test fails unless it ends with status 0. Returns how long it took
  // from the button's release on the close box, or from the signal.
  Clock::duration EndAndExpectCleanExit(OutputPoint origin, Ending how) {
    if (how == Ending::kCloseBox) {
      const OutputPoint close_box{origin.x + kSurfaceSize - kCloseButtonWidth / 2,
                                  origin.y - kTitleBarHeight / 2};
      EXPECT_TRUE(session_.PointViewerAt(close_box, In(kPointerDeadline)))
          << "the viewer's pointer never reported the close box";
    }
    const Clock::time_point sent = Clock::now();
    if (how == Ending::kCloseBox) {
      EXPECT_TRUE(session_.Click());
    } else {
      EXPECT_EQ(kill(session_.viewer().pid(), SIGTERM), 0);
    }
    return ExpectCleanExitSince(session_.viewer(), sent);
  }

  // The first picture, ten seconds of pointer motion over it, then a click whose picture must
  // be drawn exactly; the viewer's peak memory stays within bounds. Returns the picture's place.
  OutputPoint FloodThenClick() {
    const OutputPoint origin = FirstPicture();
    if (HasFailure()) return origin;
    const std::optional<long> peak_before = session_.viewer().PeakResidentKib();
    const std::size_t motions_before = session_.ViewerLog().pointer_motions();
    const std::size_t sent = session_.FloodPointer(kFloodDuration);
    const Clock::time_point flood_end = Clock::now();
    const std::optional<long> peak = session_.viewer().PeakResidentKib();
    EXPECT_TRUE(peak) << "the viewer ended during the flood: " << session_.ViewerErrors();
    if (!peak) return origin;
    const std::size_t received = session_.ViewerLog().pointer_motions() - motions_before;
    const double seconds = std::chrono::duration<double>(kFloodDuration).count();
    std::cout << sent << " pointer motions in " << seconds << " s (" << sent / seconds
              << " a second), " << received << " received by the viewer when the flood ended; "
              << "viewer's peak memory " << peak_before.value_or(0) / 1024.0 << " MiB before, "
              << *peak / 1024.0 << " MiB after\n";
    if (!kSanitized) {
      EXPECT_LT(*peak - peak_before.value_or(0), kFloodGrowthBoundKib);
    }
    ClickAndExpectItsPicture(origin, {300, 120});
    std::cout << "flood's end to the click's picture: " << Milliseconds(Clock::now() - flood_end)
              << " ms\n";
    return origin;
  }

  WestonSession session_;
};

TEST_F(NativeWayland, FirstPictureThenAClickThenTheCloseBox) {
  const OutputPoint origin = FirstPicture();
  ASSERT_FALSE(HasFailure());
  EXPECT_EQ(session_.TitlesSet(),
            (std::vector<std::string>{kStartCaption, kDrawingCaption, kReadyCaption}));
  ClickAndExpectItsPicture(origin, {126, 213});
  EndAndExpectCleanExit(origin, Ending::kCloseBox);
}

TEST_F(NativeWayland, FloodOfPointerMotionLosesNeitherTheClickAfterItNorTheCloseBox) {
  const OutputPoint origin = FloodThenClick();
  ASSERT_FALSE(HasFailure());
  const Clock::duration latency = EndAndExpectCleanExit(origin, Ending::kCloseBox);
  std::cout << "close box after the flood to exit: " << Milliseconds(latency) << " ms\n";
  EXPECT_LT(latency, kExitBound);
}

TEST_F(NativeWayland, FloodOfPointerMotionDoesNotLoseSigterm) {
  const OutputPoint origin = FloodThenClick();
  ASSERT_FALSE(HasFailure());
  const Clock::duration latency = EndAndExpectCleanExit(origin, Ending::kTerminate);
  std::cout << "SIGTERM after the flood to exit: " << Milliseconds(latency) << " ms\n";
  EXPECT_LT(latency, kExitBound);
}

// SDL reports a compositor that went away as a request to quit: the viewer ends with the
// error it is, not with the status of a close.
TEST_F(NativeWayland, CompositorGoneEndsTheViewerWithAnError) {
  FirstPicture();
  ASSERT_FALSE(HasFailure());
  session_.StopCompositor();
  const std::optional<ExitStatus> status = session_.viewer().WaitForExit(In(kExitDeadline));
  ASSERT_TRUE(status) << "the viewer runs on without its compositor";
  EXPECT_TRUE(status->exited && status->code == 1) << status->ToString();
  EXPECT_NE(session_.ViewerErrors().find("the connection to the Wayland compositor was lost"),
            std::string::npos)
      << session_.ViewerErrors();
}

// Without the accelerated framebuffer, SDL's Wayland driver gives the window no surface.
TEST(NativeWaylandFailure, WindowWithoutASurfaceIsAFailedCall) {
  WestonSession session({"SDL_FRAMEBUFFER_ACCELERATION=0"});
  const std::optional<ExitStatus> status = session.viewer().WaitForExit(In(kWindowDeadline));
  ASSERT_TRUE(status) << "the viewer runs on with a window it cannot present to";
  EXPECT_TRUE(status->exited && status->code == 1) << status->ToString();
  EXPECT_NE(session.ViewerErrors().find("A window-system call failed"), std::string::npos)
      << session.ViewerErrors();
}

}  // namespace
}  // namespace fractal::e2e
