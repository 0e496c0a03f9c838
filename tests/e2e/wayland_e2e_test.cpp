// The real viewer as a native Wayland client of weston: the exact first picture, a click, and the
// close box of the title bar that libdecor draws, since weston draws no decorations; and a window
// the viewer cannot present to ends it with the failed-call error instead of staying blank.
#include <gtest/gtest.h>

#include "tests/e2e/e2e_fixture.h"
#include "tests/e2e/weston_session.h"

namespace fractal::e2e {
namespace {

// libdecor's cairo plugin draws a title bar 24 pixels high over the content, with the close
// button in its rightmost 32 pixels.
constexpr int kTitleBarHeight = 24;
constexpr int kCloseButtonWidth = 32;

OutputPoint On(OutputPoint origin, Pixel pixel) {
  return {origin.x + pixel.column, origin.y + pixel.row};
}

TEST(NativeWayland, FirstPictureThenAClickThenTheCloseBox) {
  WestonSession session;
  Screen last;
  const std::optional<OutputPoint> origin = session.WaitForPicture(
      testing::ReferencePicture(testing::InitialView()), In(kDrawingDeadline), last);
  ASSERT_TRUE(origin) << "the first picture never stood whole on the output; viewer: "
                      << session.ViewerErrors();
  EXPECT_EQ(session.TitlesSet(),
            (std::vector<std::string>{kStartCaption, kDrawingCaption, kReadyCaption}));

  const Pixel pixel{126, 213};
  ASSERT_TRUE(session.ClickAt(On(*origin, pixel), In(kPointerDeadline)));
  const Picture zoomed = testing::ReferencePicture(ViewAfterClick(testing::InitialView(), pixel));
  EXPECT_TRUE(session.WaitForPictureAt(*origin, zoomed, In(kDrawingDeadline), last))
      << DifferenceAt(last, *origin, zoomed, session.pointer());

  const OutputPoint close_box{origin->x + kSurfaceSize - kCloseButtonWidth / 2,
                              origin->y - kTitleBarHeight / 2};
  ASSERT_TRUE(session.ClickAt(close_box, In(kPointerDeadline)));
  const std::optional<ExitStatus> status = session.viewer().WaitForExit(In(kExitDeadline));
  ASSERT_TRUE(status) << "the viewer still runs after a click on the close box";
  EXPECT_TRUE(status->exited && status->code == 0) << status->ToString();
}

// Without the accelerated framebuffer, SDL's Wayland driver gives the window no surface.
TEST(NativeWayland, WindowWithoutASurfaceIsAFailedCall) {
  WestonSession session({"SDL_FRAMEBUFFER_ACCELERATION=0"});
  const std::optional<ExitStatus> status = session.viewer().WaitForExit(In(kWindowDeadline));
  ASSERT_TRUE(status) << "the viewer runs on with a window it cannot present to";
  EXPECT_TRUE(status->exited && status->code == 1) << status->ToString();
  EXPECT_NE(session.ViewerErrors().find("A window-system call failed"), std::string::npos)
      << session.ViewerErrors();
}

}  // namespace
}  // namespace fractal::e2e
