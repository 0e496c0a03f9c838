// What the end-to-end tests share: one viewer session per test, generous deadlines (the
// sanitizer build draws several times slower), and the steps most tests begin with.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "support/reference_drawing.h"
#include "tests/e2e/view_path.h"
#include "tests/e2e/viewer_session.h"

namespace fractal::e2e {

inline constexpr auto kWindowDeadline = std::chrono::seconds(30);
inline constexpr auto kPointerDeadline = std::chrono::seconds(5);
inline constexpr auto kDrawingDeadline = std::chrono::seconds(90);
// For drawings that take milliseconds even in the sanitizer build.
inline constexpr auto kShallowDrawingDeadline = std::chrono::seconds(15);
inline constexpr auto kExitDeadline = std::chrono::seconds(10);
// The longest a person may wait for the window to go after closing it, even mid-drawing.
inline constexpr auto kCloseLatencyBound = std::chrono::milliseconds(500);

// The dive is clicked this deep one drawing at a time; below it a drawing lasts a tenth of a
// second or more, long enough to be seen reading "Drawing..." and to be clicked into.
inline constexpr int kDeepestWaitedFor = 17;

// From this depth on a drawing waits seconds for some of its rows.
inline constexpr int kSlowDepth = 24;
// How long a deep drawing runs before it is clicked into or closed: long enough to be past its
// first rows, which are cheap, and waiting for a slow one. The drawings 23 to 25 clicks deep take
// 0.9 to 2 s on a 2-core machine (a second was too close to the first of them).
inline constexpr auto kDrawingHead = std::chrono::milliseconds(500);

inline Clock::time_point In(Clock::duration duration) { return Clock::now() + duration; }

// How a test asks the viewer to end: by its close box, or by SIGTERM.
enum class Ending { kCloseBox, kTerminate };

// Under the sanitizers, whose shadow memory and quarantine of freed blocks grow with every
// allocation, the viewer's own footprint cannot be told, and reading a flood's last events takes
// several times as long.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
// The most memory the viewer may have held resident (VmHWM) after a flood of pointer motion.
inline constexpr long kPeakMemoryBoundKib = 64 * 1024;
inline constexpr auto kFloodDuration = std::chrono::seconds(10);

inline double Milliseconds(Clock::duration duration) {
  return std::chrono::duration<double, std::milli>(duration).count();
}

// Waits for a viewer asked to end at `sent`; the test fails unless it ends with status 0. Returns
// how long it took from `sent`.
inline Clock::duration ExpectCleanExitSince(ChildProcess& viewer, Clock::time_point sent) {
  const std::optional<ExitStatus> status = viewer.WaitForExit(sent + kExitDeadline);
  const Clock::duration latency = Clock::now() - sent;
  EXPECT_TRUE(status) << "the viewer still runs after being asked to end";
  if (status) {
    EXPECT_TRUE(status->exited && status->code == 0) << status->ToString();
  }
  return latency;
}

class ViewerTest : public ::testing::Test {
 protected:
  // The first drawing done, and the picture it left identical to the reference.
  void StartAndWaitForFirstPicture() {
    ASSERT_TRUE(session_.WaitForWindow(In(kWindowDeadline))) << "no viewer window appeared";
    ExpectReadyPicture(testing::ReferencePicture(testing::InitialView()));
  }

  // Waits until the title reads "Ready." and the whole client area equals `want`.
  void ExpectReadyPicture(const Picture& want, Clock::duration deadline = kDrawingDeadline) {
    Picture last;
    const bool matched = session_.WaitForReadyPicture(
        [&](const Picture& got) { return got == want; }, In(deadline), last);
    EXPECT_TRUE(matched) << "title " << session_.Title().value_or("(no window)") << "; "
                         << (last.empty() ? "no capture" : DescribeDifference(last, want));
  }

  // Waits until the title reads "Ready." and the capture agrees with the sampled rows.
  void ExpectReadyRows(const ReferenceRows& want) {
    Picture last;
    const bool matched = session_.WaitForReadyPicture(
        [&](const Picture& got) { return want.DifferenceFrom(got).empty(); }, In(kDrawingDeadline),
        last);
    EXPECT_TRUE(matched) << "title " << session_.Title().value_or("(no window)") << "; "
                         << (last.empty() ? "no capture" : want.DifferenceFrom(last));
  }

  // Clicks at `pixel` and returns the view the click leads to.
  ViewState Click(const ViewState& view, Pixel pixel) {
    EXPECT_TRUE(session_.ClickAt(pixel.column, pixel.row, In(kPointerDeadline)))
        << "the pointer did not reach row " << pixel.row << " column " << pixel.column;
    return ViewAfterClick(view, pixel);
  }

  // Clicks `clicks` times along the dive from `view`, each time waiting for "Ready." before
  // the next click.
  ViewState DiveWaitingForEachDrawing(ViewState view, int clicks) {
    for (int i = 0; i < clicks; ++i) {
      view = Click(view, DivePixel(view));
      EXPECT_TRUE(session_.WaitForTitle(kReadyCaption, In(kDrawingDeadline)));
    }
    return view;
  }

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

  // Whether the drawing under way, `depth` clicks deep, still runs after kDrawingHead: a slow
  // drawing, waiting on slow rows.
  ::testing::AssertionResult KeepsDrawingPastItsHead(int depth) {
    session_.PollUntil(In(kDrawingHead), [&] { return session_.Title() != kDrawingCaption; });
    if (session_.Title() == kDrawingCaption) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the drawing " << depth << " clicks deep ended within "
                                         << Milliseconds(kDrawingHead) << " ms: not a slow drawing";
  }

  // Asks the viewer to end, by its close box or by SIGTERM, and returns how long it took to end;
  // the test fails unless it ended with status 0.
  Clock::duration EndAndExpectCleanExit(Ending how) {
    if (how == Ending::kCloseBox) {
      EXPECT_TRUE(session_.SendCloseRequest()) << "the window offers no WM_DELETE_WINDOW";
    } else {
      EXPECT_EQ(kill(session_.viewer().pid(), SIGTERM), 0);
    }
    return ExpectCleanExitSince(session_.viewer(), Clock::now());
  }
  Clock::duration CloseAndExpectCleanExit() { return EndAndExpectCleanExit(Ending::kCloseBox); }

  // Confirms the title reads "Drawing..." and clicks at once, while the drawing runs.
  ViewState ClickDuringDrawing(const ViewState& view, Pixel pixel) {
    EXPECT_TRUE(session_.WaitForTitle(kDrawingCaption, In(kDrawingDeadline)))
        << "the deep drawing was never seen running";
    EXPECT_EQ(session_.Title(), kDrawingCaption) << "the drawing ended before the click";
    return Click(view, pixel);
  }

  ViewerSession session_;
};

// True if `seen` is `order` with some entries left out.
inline bool IsInOrder(const std::vector<std::string>& seen, const std::vector<std::string>& order) {
  auto next = order.begin();
  for (const std::string& title : seen) {
    next = std::find(next, order.end(), title);
    if (next == order.end()) return false;
    ++next;
  }
  return true;
}

}  // namespace fractal::e2e
