// The real viewer under a virtual X server: the first picture, and the pictures clicks lead to.
#include <gtest/gtest.h>

#include "tests/e2e/e2e_fixture.h"

namespace fractal::e2e {
namespace {

using FirstDrawing = ViewerTest;

TEST_F(FirstDrawing, TitlesRunFromStartThroughDrawingToReady) {
  ASSERT_TRUE(session_.WaitForWindow(In(kWindowDeadline)));
  // The first drawing takes a few milliseconds: "Drawing..." may come and go between two looks.
  EXPECT_TRUE(session_.WaitForTitle(kReadyCaption, In(kDrawingDeadline)));
  EXPECT_TRUE(IsInOrder(session_.titles_seen(), {kStartCaption, kDrawingCaption, kReadyCaption}))
      << "titles seen: " << ::testing::PrintToString(session_.titles_seen());
}

TEST_F(FirstDrawing, WholeClientAreaEqualsReferencePicture) {
  StartAndWaitForFirstPicture();
  const std::optional<Picture> picture = session_.Capture();
  ASSERT_TRUE(picture);
  for (int column = 0; column < kSurfaceSize; ++column) {
    EXPECT_EQ((*picture)[column], 0) << "row 0 is never drawn; column " << column;
  }
}

using Clicks = ViewerTest;

TEST_F(Clicks, ClickMagnifiesAboutThePointer) {
  StartAndWaitForFirstPicture();
  const ViewState view = Click(testing::InitialView(), {126, 213});
  ExpectReadyPicture(testing::ReferencePicture(view));
}

TEST_F(Clicks, ClicksInTurnEachGiveTheirView) {
  StartAndWaitForFirstPicture();
  ViewState view = testing::InitialView();
  for (const Pixel pixel : {Pixel{300, 120}, Pixel{0, 399}, Pixel{399, 0}, Pixel{200, 200}}) {
    view = Click(view, pixel);
    ExpectReadyPicture(testing::ReferencePicture(view));
  }
}

}  // namespace
}  // namespace fractal::e2e
