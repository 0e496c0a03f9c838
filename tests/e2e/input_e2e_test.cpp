// Input during deep drawings, whose rows take seconds each: a click starts its drawing at once,
// and a flood of pointer motion loses nothing that comes after it.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <iostream>

#include "tests/e2e/e2e_fixture.h"

namespace fractal::e2e {
namespace {

// The longest a person may wait for a click's drawing to start.
constexpr auto kClickLatencyBound = std::chrono::milliseconds(500);
constexpr auto kExitAfterFloodBound = (kSanitized ? 4 : 1) * kCloseLatencyBound;

class DeepInput : public ViewerTest {
 protected:
  // Dives to a slow drawing, floods it with pointer motion, and checks the viewer's peak memory.
  void FloodADeepDrawing(ViewState& view) {
    view = DiveTo(kSlowDepth);
    EXPECT_EQ(session_.Title(), kDrawingCaption) << "the drawing ended before the flood";
    const std::optional<long> peak_before = session_.viewer().PeakResidentKib();
    const std::size_t motions = session_.FloodPointer(kFloodDuration);
    const std::optional<long> peak = session_.viewer().PeakResidentKib();
    ASSERT_TRUE(peak) << "the viewer ended during the flood";
    const double seconds = std::chrono::duration<double>(kFloodDuration).count();
    std::cout << motions << " pointer motions in " << seconds << " s (" << motions / seconds
              << " a second); viewer's peak memory " << peak_before.value_or(0) / 1024.0
              << " MiB before, " << *peak / 1024.0 << " MiB after\n";
    if (!kSanitized) {
      EXPECT_LT(*peak, kPeakMemoryBoundKib);
    }
  }
};

TEST_F(DeepInput, ClickStartsItsDrawingAtOnceWhileTheDrawingWaitsForASlowRow) {
  StartAndWaitForFirstPicture();
  ViewState view = DiveTo(kSlowDepth - 1);
  for (int depth = kSlowDepth; depth < kSlowDepth + 3; ++depth) {
    ASSERT_TRUE(KeepsDrawingPastItsHead(depth - 1));
    Clock::duration latency{};
    view = ClickAndAwaitDrawing(view, latency);
    EXPECT_LT(latency, kClickLatencyBound) << depth << " clicks deep";
  }
}

TEST_F(DeepInput, FloodOfPointerMotionLosesNeitherTheClickAfterItNorTheCloseRequest) {
  StartAndWaitForFirstPicture();
  ViewState view;
  FloodADeepDrawing(view);
  if (HasFatalFailure()) return;
  Clock::duration latency{};
  view = ClickAndAwaitDrawing(view, latency);
  const Clock::duration close_latency = CloseAndExpectCleanExit();
  std::cout << "close request to exit: " << Milliseconds(close_latency) << " ms\n";
  EXPECT_LT(close_latency, kExitAfterFloodBound);
}

TEST_F(DeepInput, FloodOfPointerMotionDoesNotLoseSigterm) {
  StartAndWaitForFirstPicture();
  ViewState view;
  FloodADeepDrawing(view);
  if (HasFatalFailure()) return;
  const Clock::duration latency = EndAndExpectCleanExit(Ending::kTerminate);
  std::cout << "SIGTERM after the flood to exit: " << Milliseconds(latency) << " ms\n";
  EXPECT_LT(latency, kExitAfterFloodBound);
}

}  // namespace
}  // namespace fractal::e2e
