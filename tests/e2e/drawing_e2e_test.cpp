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

// The second click comes without the pointer moving: the same pixel is the centre again.
TEST_F(Clicks, ClicksInTurnEachGiveTheirView) {
  StartAndWaitForFirstPicture();
  ViewState view = testing::InitialView();
  for (const Pixel pixel :
       {Pixel{300, 120}, Pixel{300, 120}, Pixel{0, 399}, Pixel{399, 0}, Pixel{200, 200}}) {
    view = Click(view, pixel);
    ExpectReadyPicture(testing::ReferencePicture(view));
  }
}

TEST_F(Clicks, QuickClicksWithoutWaitingEndInTheLastView) {
  StartAndWaitForFirstPicture();
  ViewState view = testing::InitialView();
  for (const Pixel pixel : {Pixel{120, 250}, Pixel{260, 140}, Pixel{200, 330}}) {
    view = Click(view, pixel);
  }
  ExpectReadyPicture(testing::ReferencePicture(view));
}

using DeepDrawing = ViewerTest;

// The shallow part of the dive, where each picture is cheap enough to compare whole.
TEST_F(DeepDrawing, DiveTenClicksDeepGivesEachView) {
  StartAndWaitForFirstPicture();
  ViewState view = testing::InitialView();
  for (int depth = 1; depth <= 10; ++depth) {
    view = Click(view, DivePixel(view));
    ExpectReadyPicture(testing::ReferencePicture(view));
  }
}

// Eighteen clicks deep the drawing lasts long enough to be seen running; a click then starts
// the next view's drawing from inside it, and that one's picture is what remains. Nineteen
// clicks deep a whole reference picture would take minutes: the rows compared are the cheap
// black ones at the bottom, the lowest coloured row above them, and row 1.
TEST_F(DeepDrawing, ClickDuringDrawingEndsInTheLastClicksPicture) {
  StartAndWaitForFirstPicture();
  ViewState view = DiveWaitingForEachDrawing(testing::InitialView(), kDeepestWaitedFor);
  view = Click(view, DivePixel(view));
  ASSERT_TRUE(session_.WaitForTitle(kDrawingCaption, In(kDrawingDeadline)))
      << "a drawing 18 clicks deep was never seen running";
  const std::size_t seen_before_click = session_.titles_seen().size();
  view = ClickDuringDrawing(view, DivePixel(view));
  ASSERT_EQ(view.Zoom, 1 << 19);
  const std::optional<ReferenceRows> coloured = LowestColouredRow(view);
  ASSERT_TRUE(coloured);
  ExpectReadyRows(*coloured);
  ExpectReadyRows(ComputeReferenceRows(view, {1, 360, 399}));
  // An interrupted drawing leaves the title alone: had the first drawing ended before the
  // click, "Ready." would have come between two drawings.
  const std::vector<std::string> since_click(session_.titles_seen().begin() + seen_before_click - 1,
                                             session_.titles_seen().end());
  EXPECT_EQ(since_click, (std::vector<std::string>{kDrawingCaption, kReadyCaption}));
}

// A person may click as soon as the title reads "Ready.": that click must not be lost.
TEST_F(Clicks, ClickAsSoonAsTheFirstDrawingIsReady) {
  ASSERT_TRUE(session_.WaitForWindow(In(kWindowDeadline)));
  ASSERT_TRUE(session_.WaitForTitle(kReadyCaption, In(kDrawingDeadline)));
  const ViewState view = Click(testing::InitialView(), {225, 200});
  ExpectReadyPicture(testing::ReferencePicture(view), kShallowDrawingDeadline);
}
}  // namespace
}  // namespace fractal::e2e
