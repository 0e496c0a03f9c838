// The real viewer on a virtual X server, driven only from outside: the window's titles and
// pixels are read, the pointer is moved and clicked with real input events, and the window is
// closed with the request a window manager's close box sends.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tests/reference_drawing.h"
#include "tests/window_e2e/viewer_session.h"
#include "view/view_state.h"

namespace fractal::e2e {
namespace {

using fractal::testing::InitialView;
using fractal::testing::ReferencePicture;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr int kWindowSize = 400;
// Generous, for the sanitizer builds and a machine busy with other builds; no test waits this
// long when the viewer does what it should.
constexpr seconds kDrawingTimeout{60};
constexpr seconds kExitTimeout{20};
constexpr milliseconds kLongestCloseLatency{500};

// Toward this point one row of a deep drawing can take long: the boundary there is intricate
// at every scale, and points near it need many iterations to escape.
constexpr double kDeepReal = -0.743643887037151;
constexpr double kDeepImaginary = 0.131825904205330;
// Deep enough there that a drawing lasts far longer than sending a click takes (about a
// quarter of a second today). Not deeper: the view of a click at its corner still has no point
// that reaches the iteration cap, each of which would cost the plain reference arithmetic
// 16 * Zoom iterations.
constexpr int kLongDrawingDepth = 19;
// The deepest view a click reaches: rows there take long.
constexpr int kSlowRowDepth = 26;

struct Pixel {
  int x = 0;
  int y = 0;
};

ViewState Clicked(ViewState view, Pixel pixel) {
  TrackPointer(view, static_cast<float>(pixel.x), static_cast<float>(pixel.y));
  ZoomAtPointer(view);
  return view;
}

// The window pixel of `view` nearest to the plane point (real, imaginary), kept in the window.
Pixel PixelNearest(const ViewState& view, double real, double imaginary) {
  const auto surface = [](double view_coordinate, int centre) {
    const long pixel = std::lround(view_coordinate * 100) + centre;
    return static_cast<int>(std::clamp(pixel, 0L, long{kWindowSize - 1}));
  };
  return {surface(real * view.Zoom - view.OffsetX, view.CenterX),
          surface(imaginary * view.Zoom - view.OffsetY, view.CenterY)};
}

struct ZoomPath {
  std::vector<Pixel> clicks;
  ViewState view;  // after all the clicks
};

// `depth` clicks from the first view, each at the pixel nearest to the deep point.
ZoomPath PathTowardTheDeepPoint(int depth) {
  ZoomPath path{{}, InitialView()};
  for (int click = 0; click < depth; ++click) {
    path.clicks.push_back(PixelNearest(path.view, kDeepReal, kDeepImaginary));
    path.view = Clicked(path.view, path.clicks.back());
  }
  return path;
}

bool ExitedWithStatusZero(const std::optional<int>& status) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

std::string Describe(const std::optional<int>& status) {
  return status ? DescribeWaitStatus(*status) : "still running";
}

class ViewerTest : public ::testing::Test {
 protected:
  void SetUp() override { session_ = std::make_unique<ViewerSession>(); }

  ViewerSession& Session() { return *session_; }
  Desktop& Screen() { return session_->desktop(); }

  // Clicks each pixel in turn, one right after the other, as a person clicking fast would.
  void ClickEach(const std::vector<Pixel>& pixels) {
    for (const Pixel& pixel : pixels) ASSERT_TRUE(Session().ClickAt(pixel.x, pixel.y));
  }

  // Clicks toward the deep point one drawing at a time, each finished before the next click,
  // then once more into a long drawing, and returns once that drawing has begun. `long_view`
  // is the long drawing's view.
  void StartALongDrawing(ViewState& long_view) {
    const ZoomPath path = PathTowardTheDeepPoint(kLongDrawingDepth);
    for (std::size_t click = 0; click < path.clicks.size(); ++click) {
      const std::size_t changes = Screen().TitleChanges();
      ASSERT_TRUE(Session().ClickAt(path.clicks[click].x, path.clicks[click].y));
      // The first change after a click is its drawing's; a title read after that change shows
      // that drawing's state or a later one.
      const bool last = click + 1 == path.clicks.size();
      ASSERT_TRUE(
          Session().AwaitTitleChange(changes, last ? kDrawingTitle : kReadyTitle, kDrawingTimeout))
          << "click " << click + 1 << " of " << path.clicks.size();
    }
    long_view = path.view;
  }

  // Clicks at `pixel` while the title reads "Drawing...", and checks it still did when the
  // click had reached the server, so the click fell inside a drawing.
  void ClickDuringTheDrawing(Pixel pixel) {
    ASSERT_EQ(Screen().CurrentTitle(), kDrawingTitle);
    const std::size_t changes = Screen().TitleChanges();
    ASSERT_TRUE(Session().ClickAt(pixel.x, pixel.y));
    Screen().Pump(milliseconds(0));
    ASSERT_EQ(Screen().TitleChanges(), changes) << "the drawing ended before the click was sent";
  }

  std::unique_ptr<ViewerSession> session_;
};

using ViewerStartTest = ViewerTest;
using ViewerClickTest = ViewerTest;
using ViewerCloseTest = ViewerTest;

TEST_F(ViewerStartTest, TitleReadsForm1ThenDrawingThenReady) {
  Session().AwaitWindow();
  ASSERT_TRUE(Session().AwaitTitle(kReadyTitle, kDrawingTimeout));
  // A short first drawing may read "Drawing..." too briefly to be seen; what is seen must come
  // in this order, from "Form1" to "Ready.".
  const std::vector<std::string> order = {"Form1", std::string(kDrawingTitle),
                                          std::string(kReadyTitle)};
  std::vector<std::string> seen = Screen().TitlesRead();
  seen.erase(std::unique(seen.begin(), seen.end()), seen.end());
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.front(), "Form1");
  EXPECT_TRUE(std::includes(order.begin(), order.end(), seen.begin(), seen.end(),
                            [&](const std::string& a, const std::string& b) {
                              return std::find(order.begin(), order.end(), a) <
                                     std::find(order.begin(), order.end(), b);
                            }))
      << "titles seen: " << ::testing::PrintToString(seen);
}

TEST_F(ViewerStartTest, FirstPictureIsTheReferencePictureOfTheFirstView) {
  Session().AwaitWindow();
  EXPECT_TRUE(Session().AwaitPicture(ReferencePicture(InitialView()), kDrawingTimeout));
}

TEST_F(ViewerClickTest, ClickWhenReadyDrawsTheViewMagnifiedAboutThePointer) {
  Session().AwaitWindow();
  ASSERT_TRUE(Session().AwaitTitle(kReadyTitle, kDrawingTimeout));
  const Pixel pixel{300, 120};
  ASSERT_TRUE(Session().ClickAt(pixel.x, pixel.y));
  EXPECT_TRUE(
      Session().AwaitPicture(ReferencePicture(Clicked(InitialView(), pixel)), kDrawingTimeout));
}

TEST_F(ViewerClickTest, ClicksInARowEachDrawTheirView) {
  Session().AwaitWindow();
  ASSERT_TRUE(Session().AwaitTitle(kReadyTitle, kDrawingTimeout));
  // The second click stays where the first was: the same pixel is the centre again.
  const std::vector<Pixel> clicks = {{120, 260}, {120, 260}, {333, 45}, {0, 399}};
  ViewState view = InitialView();
  for (const Pixel& pixel : clicks) {
    ASSERT_TRUE(Session().ClickAt(pixel.x, pixel.y));
    view = Clicked(view, pixel);
    ASSERT_TRUE(Session().AwaitPicture(ReferencePicture(view), kDrawingTimeout))
        << "after the click at (" << pixel.x << ", " << pixel.y << ")";
  }
}

TEST_F(ViewerClickTest, ClickDuringADrawingEndsWithTheLastClickedView) {
  Session().AwaitWindow();
  ASSERT_TRUE(Session().AwaitTitle(kReadyTitle, kDrawingTimeout));
  ViewState long_view;
  ASSERT_NO_FATAL_FAILURE(StartALongDrawing(long_view));
  // The corner away from the deep point: the view there draws quickly.
  const Pixel corner{0, 0};
  ASSERT_NO_FATAL_FAILURE(ClickDuringTheDrawing(corner));
  EXPECT_TRUE(
      Session().AwaitPicture(ReferencePicture(Clicked(long_view, corner)), kDrawingTimeout));
}

TEST_F(ViewerCloseTest, CloseWhenReadyEndsWithStatusZero) {
  const Window window = Session().AwaitWindow();
  ASSERT_TRUE(Session().AwaitTitle(kReadyTitle, kDrawingTimeout));
  EXPECT_TRUE(Screen().TakesCloseRequests(window));
  Session().RequestClose();
  const std::optional<int> status = Session().AwaitExit(kExitTimeout);
  EXPECT_TRUE(ExitedWithStatusZero(status)) << Describe(status);
}

TEST_F(ViewerCloseTest, CloseDuringTheFirstDrawingEndsWithStatusZero) {
  // Sent the moment the window is shown: the request waits while the first drawing starts,
  // so however fast that drawing is, it is the drawing that takes the request.
  Session().AwaitWindow();
  Session().RequestClose();
  const std::optional<int> status = Session().AwaitExit(kExitTimeout);
  EXPECT_TRUE(ExitedWithStatusZero(status)) << Describe(status);
  ASSERT_TRUE(Session().AwaitWindowGone(kExitTimeout));
  const std::vector<std::string>& titles = Screen().TitlesRead();
  EXPECT_EQ(std::count(titles.begin(), titles.end(), kReadyTitle), 0)
      << "the first drawing was finished before closing";
}

TEST_F(ViewerCloseTest, CloseDuringANestedDrawingEndsWithStatusZero) {
  Session().AwaitWindow();
  ASSERT_TRUE(Session().AwaitTitle(kReadyTitle, kDrawingTimeout));
  ViewState long_view;
  ASSERT_NO_FATAL_FAILURE(StartALongDrawing(long_view));
  // One click deeper still: the drawing it starts runs inside the one it interrupts.
  const std::size_t changes = Screen().TitleChanges();
  ASSERT_NO_FATAL_FAILURE(
      ClickDuringTheDrawing(PixelNearest(long_view, kDeepReal, kDeepImaginary)));
  ASSERT_TRUE(Session().AwaitTitleChange(changes, kDrawingTitle, kDrawingTimeout));
  Session().RequestClose();
  const std::optional<int> status = Session().AwaitExit(kExitTimeout);
  EXPECT_TRUE(ExitedWithStatusZero(status)) << Describe(status);
}

TEST_F(ViewerCloseTest, CloseDuringADeepDrawingTakesEffectPromptly) {
  Session().AwaitWindow();
  ASSERT_TRUE(Session().AwaitTitle(kReadyTitle, kDrawingTimeout));
  const std::size_t changes = Screen().TitleChanges();
  ASSERT_NO_FATAL_FAILURE(ClickEach(PathTowardTheDeepPoint(kSlowRowDepth).clicks));
  ASSERT_TRUE(Session().AwaitTitleChange(changes, kDrawingTitle, kDrawingTimeout));
  const Clock::time_point sent = Session().RequestClose();
  const std::optional<int> status = Session().AwaitExit(kExitTimeout);
  ASSERT_TRUE(status) << "still running " << kExitTimeout.count() << " s after the close request";
  const auto latency =
      std::chrono::duration_cast<milliseconds>(Session().viewer().EndedAt() - sent);
  RecordProperty("close_latency_ms", static_cast<int>(latency.count()));
  std::printf("close latency during a drawing %d clicks deep: %lld ms\n", kSlowRowDepth,
              static_cast<long long>(latency.count()));
  EXPECT_TRUE(ExitedWithStatusZero(status)) << Describe(status);
  EXPECT_LE(latency, kLongestCloseLatency);
}

}  // namespace
}  // namespace fractal::e2e
