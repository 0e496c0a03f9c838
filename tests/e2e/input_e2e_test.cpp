// Input during deep drawings, whose rows take seconds each: a click starts its drawing at once,
// and a flood of pointer motion loses nothing that comes after it.
#include <gtest/gtest.h>
#include <signal.h>

#include <bit>
#include <chrono>
#include <cstdint>
#include <iostream>

#include "tests/e2e/e2e_fixture.h"

namespace fractal::e2e {
namespace {

// From this depth on a drawing waits seconds for some of its rows.
constexpr int kSlowDepth = 24;
// The longest a person may wait for a click's drawing to start.
constexpr auto kClickLatencyBound = std::chrono::milliseconds(500);
// How long a deep drawing runs before it is clicked into: long enough to be past its first
// rows, which are cheap, and waiting for a slow one. The drawings 23 to 25 clicks deep take 0.9 to
// 2 s on a 2-core machine (a second was too close to the first of them).
constexpr auto kDrawingHead = std::chrono::milliseconds(500);
constexpr auto kExitAfterFloodBound = (kSanitized ? 4 : 1) * kCloseLatencyBound;

class DeepInput : public ViewerTest {
 protected:
  // Clicks at the dive's pixel and waits for the click's drawing to start; returns the new view
  // and sets `latency` to the time from the click to the drawing's "Drawing...", which it prints.
  ViewState ClickAndAwaitDrawing(const ViewState& view, Clock::duration& latency) {
    const std::size_t settings_before = session_.title_settings().size();
    const ViewState next = Click(view, DivePixel(view));
    const Clock::time_point clicked = Clock::now();
    const std::optional<Clock::time_point> started =
        session_.WaitForDrawingStart(settings_before, In(kDrawingDeadline));
    EXPECT_TRUE(started) << "the click to zoom " << next.Zoom << " started no drawing";
    latency = started ? *started - clicked : Clock::now() - clicked;
    std::cout << "click to its drawing's start, "
              << std::countr_zero(static_cast<std::uint32_t>(next.Zoom))
              << " clicks deep: " << Milliseconds(latency) << " ms\n";
    return next;
  }

  // Dives `depth` clicks deep: one whole drawing at a time while drawings are quick, then each
  // click once the drawing before it has started. Returns with the last drawing under way.
  ViewState DiveTo(int depth) {
    ViewState view = DiveWaitingForEachDrawing(testing::InitialView(), kDeepestWaitedFor);
    Clock::duration latency{};
    while (view.Zoom < (1 << depth) && !HasFailure()) view = ClickAndAwaitDrawing(view, latency);
    return view;
  }

  // True if the drawing under way still runs after `head`.
  bool KeepsDrawingFor(Clock::duration head) {
    session_.PollUntil(In(head), [&] { return session_.Title() != kDrawingCaption; });
    return session_.Title() == kDrawingCaption;
  }

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
    ASSERT_TRUE(KeepsDrawingFor(kDrawingHead))
        << "the drawing " << depth - 1 << " clicks deep ended within " << Milliseconds(kDrawingHead)
        << " ms: not a slow drawing";
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
