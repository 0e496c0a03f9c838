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

using CloseBox = ViewerTest;

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

// A deep drawing that still runs after its cheap first rows waits on slow ones: the close
// request must wait neither for the drawing nor for the rows under way. (A shallower drawing can
// end on a fast machine before it is seen running.)
TEST_F(CloseBox, EndsTheViewerQuicklyDuringADeepDrawing) {
  StartAndWaitForFirstPicture();
  DiveTo(kSlowDepth);
  ASSERT_TRUE(KeepsDrawingPastItsHead(kSlowDepth));
  const Clock::duration latency = CloseAndExpectCleanExit();
  std::cout << "close request to process exit during a drawing " << kSlowDepth
            << " clicks deep: " << Milliseconds(latency) << " ms\n";
  EXPECT_LT(latency, kCloseLatencyBound);
}

}  // namespace
}  // namespace fractal::e2e
