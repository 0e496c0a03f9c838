// The close box of the real viewer: whatever the viewer is doing, a close request ends the
// process at once with status 0.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <string>
#include <vector>

#include "tests/e2e/e2e_fixture.h"

namespace fractal::e2e {
namespace {

class CloseBox : public ViewerTest {
 protected:
  // Reaches the view `depth` clicks deep on the dive, the last click sent while the drawing
  // one click shallower runs, and returns once that view's drawing is seen under way: its
  // lowest coloured row is on the screen and the title still reads "Drawing...".
  void StartDeepDrawing(int depth) {
    ViewState view = DiveWaitingForEachDrawing(testing::InitialView(), depth - 2);
    const ViewState before_last = ViewAfterClick(view, DivePixel(view));
    const ViewState last_view = ViewAfterClick(before_last, DivePixel(before_last));
    // Computed before the clicks: the drawing must not end while the reference is worked out.
    const std::optional<ReferenceRows> marker = LowestColouredRow(last_view);
    ASSERT_TRUE(marker) << "the whole picture is black";
    ASSERT_NE(marker->colours, ComputeReferenceRows(before_last, marker->rows).colours)
        << "row " << marker->rows[0] << " cannot tell the last view from the one before";
    view = Click(view, DivePixel(view));
    view = ClickDuringDrawing(view, DivePixel(view));
    Picture last;
    auto drawing_under_way = [&] {
      std::optional<Picture> picture = session_.Capture();
      if (picture) last = std::move(*picture);
      return picture && marker->DifferenceFrom(last).empty();
    };
    ASSERT_TRUE(session_.PollUntil(In(kDrawingDeadline), drawing_under_way))
        << "row " << marker->rows[0] << ": "
        << (last.empty() ? "no capture" : marker->DifferenceFrom(last));
    ASSERT_EQ(session_.Title(), kDrawingCaption) << "the deep drawing ended already";
  }
};

TEST_F(CloseBox, EndsTheIdleViewer) {
  StartAndWaitForFirstPicture();
  CloseAndExpectCleanExit();
}

// The whole life of a short session, also run on the installed package: the exact first
// picture, one click's picture, then the close box.
TEST_F(CloseBox, EndsTheViewerAfterTheFirstPictureAndOneClick) {
  StartAndWaitForFirstPicture();
  const ViewState view = Click(testing::InitialView(), {300, 120});
  ExpectReadyPicture(testing::ReferencePicture(view));
  CloseAndExpectCleanExit();
}

// Sent the moment the window is mapped: the request waits while the first drawing starts, so
// however fast that drawing is, it is the drawing that takes the request.
TEST_F(CloseBox, EndsTheViewerDuringTheFirstDrawing) {
  ASSERT_TRUE(session_.WaitForWindow(In(kWindowDeadline)));
  CloseAndExpectCleanExit();
  // The title changes the window made before it went are read once it is gone.
  ASSERT_TRUE(session_.PollUntil(In(kWindowDeadline), [&] { return !session_.Title(); }));
  const std::vector<std::string>& titles = session_.titles_seen();
  EXPECT_EQ(std::count(titles.begin(), titles.end(), kReadyCaption), 0)
      << "the first drawing was finished before closing";
}

TEST_F(CloseBox, EndsTheViewerDuringADrawingStartedInsideAnother) {
  StartAndWaitForFirstPicture();
  ViewState view = DiveWaitingForEachDrawing(testing::InitialView(), kDeepestWaitedFor);
  view = Click(view, DivePixel(view));
  view = ClickDuringDrawing(view, DivePixel(view));
  ASSERT_TRUE(session_.WaitForTitle(kDrawingCaption, In(kDrawingDeadline)));
  CloseAndExpectCleanExit();
}

// Nineteen clicks deep the rows around the middle take longest: the close request must wait
// neither for the drawing nor for the rows under way.
TEST_F(CloseBox, EndsTheViewerQuicklyDuringADeepDrawing) {
  constexpr int kDepth = 19;
  StartAndWaitForFirstPicture();
  StartDeepDrawing(kDepth);
  if (HasFatalFailure()) return;
  const Clock::duration latency = CloseAndExpectCleanExit();
  const auto milliseconds = std::chrono::duration<double, std::milli>(latency).count();
  std::cout << "close request to process exit during a drawing " << kDepth
            << " clicks deep: " << milliseconds << " ms\n";
  EXPECT_LT(latency, kCloseLatencyBound);
}

}  // namespace
}  // namespace fractal::e2e
