// The window's life: start-up, captions, clicks during drawings, closing.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/memory_platform.h"
#include "render/row_source.h"
#include "support/reference_drawing.h"
#include "window/form1.h"

namespace fractal {
namespace {

using testing::InitialView;
using testing::ReferencePicture;
using Captions = std::vector<std::string>;

constexpr int kRows = 400;

// Rows computed when asked for, except that the first drawing waits once for row `slow_row`,
// and `meanwhile` runs then, as events would arrive while a deep row is computed.
class RowThatKeepsTheDrawingWaiting final : public RowSource {
 public:
  RowThatKeepsTheDrawingWaiting(int slow_row, std::function<void()> meanwhile)
      : slow_row_(slow_row), meanwhile_(std::move(meanwhile)) {}

  void Begin(const EscapeParams& params) override {
    ++views_;
    rows_.Begin(params);
  }
  bool WaitForRow(int row, std::chrono::milliseconds) override {
    if (views_ != 1 || row != slow_row_ || waited_) return true;
    waited_ = true;
    meanwhile_();
    return false;
  }
  RowCounts Row(int row) override { return rows_.Row(row); }

 private:
  const int slow_row_;
  const std::function<void()> meanwhile_;
  SerialRowSource rows_;
  int views_ = 0;
  bool waited_ = false;
};

class Form1Test : public ::testing::Test {
 protected:
  RunResult Run() { return platform_.Run(MakeForm1Factory()); }
  // Runs with the first drawing waiting once for `slow_row`, while `events` arrive.
  RunResult RunWithEventsWhileWaitingForRow(int slow_row, const std::vector<FormEvent>& events) {
    return platform_.Run([&](Platform& platform) {
      return std::make_unique<Form1>(platform,
                                     std::make_unique<RowThatKeepsTheDrawingWaiting>(slow_row, [&] {
                                       for (const FormEvent& event : events)
                                         platform_.PostWhileWaiting(event);
                                     }));
    });
  }
  const ViewState& View() const { return dynamic_cast<Form1&>(*platform_.Form()).View(); }

  void ExpectPictureOf(const ViewState& view) {
    const std::vector<Colour> expected = ReferencePicture(view);
    const auto surface = platform_.Surface();
    for (std::size_t i = 0; i < expected.size(); ++i) {
      ASSERT_EQ(surface[i], expected[i]) << "column " << i % 400 << ", row " << i / 400;
    }
  }

  // The view the viewer should show after pointer moves to (x, y) and clicks, from `view`.
  static ViewState Clicked(ViewState view, float x, float y) {
    TrackPointer(view, x, y);
    ZoomAtPointer(view);
    return view;
  }

  MemoryPlatform platform_{kForm1Design};
};

TEST_F(Form1Test, StartsVisibleAndDrawsTheFirstPicture) {
  bool visible_while_drawing = false;
  platform_.OnPump([&](int pump) {
    if (pump == 1) visible_while_drawing = platform_.Visible();
  });
  const RunResult result = Run();
  EXPECT_FALSE(result.ended);
  EXPECT_TRUE(visible_while_drawing);
  EXPECT_EQ(platform_.Captions(), (Captions{"Form1", "Drawing...", "Ready."}));
  EXPECT_EQ(View().Zoom, 1);
  EXPECT_EQ(View().CenterX, 200);
  EXPECT_TRUE(platform_.Messages().empty());
}

TEST_F(Form1Test, ClickWhenReadyDrawsTheMagnifiedView) {
  platform_.PostWhenIdle(PointerMoveEvent{0, 0, 300, 200});
  platform_.PostWhenIdle(ClickEvent{});
  Run();
  EXPECT_EQ(platform_.Captions(),
            (Captions{"Form1", "Drawing...", "Ready.", "Drawing...", "Ready."}));
  EXPECT_EQ(View().Zoom, 2);
  EXPECT_EQ(View().OffsetX, 2.0);
  EXPECT_EQ(View().OffsetY, 0.0);
  ExpectPictureOf(Clicked(InitialView(), 300, 200));
}

TEST_F(Form1Test, TwoClicksWithoutMovementEachCentreOnThePointerAgain) {
  platform_.PostWhenIdle(
      PointerMoveEvent{1, 1, 300, 200});  // a button and shift held make no difference
  platform_.PostWhenIdle(ClickEvent{});
  platform_.PostWhenIdle(ClickEvent{});
  Run();
  EXPECT_EQ(View().Zoom, 4);
  EXPECT_EQ(View().OffsetX, 6.0);
  ExpectPictureOf(Clicked(Clicked(InitialView(), 300, 200), 300, 200));
}

TEST_F(Form1Test, ClickDuringADrawingDrawsTheNewViewAndTheOldDrawingStops) {
  platform_.PostAtPump(57, PointerMoveEvent{0, 0, 120, 260});
  platform_.PostAtPump(57, ClickEvent{});
  const RunResult result = Run();
  EXPECT_FALSE(result.ended);
  // The interrupted drawing does not draw its remaining rows nor set "Ready." again.
  EXPECT_EQ(platform_.Captions(), (Captions{"Form1", "Drawing...", "Drawing...", "Ready."}));
  EXPECT_EQ(platform_.Pumps(), 57 + kRows);
  EXPECT_EQ(platform_.PointsSet().size(), (57u + kRows) * 400u);
  EXPECT_TRUE(platform_.Messages().empty());
  ExpectPictureOf(Clicked(InitialView(), 120, 260));
}

// The click is handled while the drawing waits for row 57, not after that row: the waiting
// drawing never sets it, and returns once the click's drawing is done.
TEST_F(Form1Test, ClickWhileADrawingWaitsForARowStartsItsDrawingThen) {
  const RunResult result =
      RunWithEventsWhileWaitingForRow(57, {PointerMoveEvent{0, 0, 120, 260}, ClickEvent{}});
  EXPECT_FALSE(result.ended);
  EXPECT_EQ(platform_.Captions(), (Captions{"Form1", "Drawing...", "Drawing...", "Ready."}));
  EXPECT_EQ(platform_.Pumps(), 57 + kRows);
  EXPECT_EQ(platform_.PointsSet().size(), (57u + kRows) * 400u);
  ExpectPictureOf(Clicked(InitialView(), 120, 260));
}

TEST_F(Form1Test, MoveWhileADrawingWaitsForARowIsTrackedAndTheDrawingGoesOn) {
  const RunResult result = RunWithEventsWhileWaitingForRow(57, {PointerMoveEvent{0, 0, 390, 10}});
  EXPECT_FALSE(result.ended);
  EXPECT_EQ(View().PointerDX, 190);
  EXPECT_EQ(platform_.Captions(), (Captions{"Form1", "Drawing...", "Ready."}));
  EXPECT_EQ(platform_.PointsSet().size(), kRows * 400u);
  ExpectPictureOf(InitialView());
}

TEST_F(Form1Test, CloseWhileADrawingWaitsForARowEndsTheProcess) {
  const RunResult result = RunWithEventsWhileWaitingForRow(57, {CloseEvent{}, ClickEvent{}});
  EXPECT_TRUE(result.ended);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(platform_.Captions(), (Captions{"Form1", "Drawing..."}));
  EXPECT_EQ(platform_.PointsSet().size(), 57u * 400u);
}

TEST_F(Form1Test, ClicksNestedSeveralDeepEndWithTheLastClicksView) {
  platform_.PostAtPump(10, PointerMoveEvent{0, 0, 250, 150});
  platform_.PostAtPump(10, ClickEvent{});
  platform_.PostAtPump(30, ClickEvent{});  // inside the first click's drawing
  platform_.PostAtPump(31, PointerMoveEvent{0, 0, 180, 210});
  platform_.PostAtPump(31, ClickEvent{});  // inside the second click's drawing
  Run();
  EXPECT_EQ(platform_.Captions(),
            (Captions{"Form1", "Drawing...", "Drawing...", "Drawing...", "Drawing...", "Ready."}));
  EXPECT_EQ(platform_.Pumps(), 31 + kRows);
  const ViewState twice = Clicked(Clicked(InitialView(), 250, 150), 250, 150);
  ExpectPictureOf(Clicked(twice, 180, 210));
}

TEST_F(Form1Test, PointerMovesDuringADrawingAreTrackedBetweenRows) {
  platform_.PostAtPump(3, PointerMoveEvent{0, 0, 390, 10});
  int dx_at_pump_3 = 0;
  platform_.OnPump([&](int pump) {
    if (pump == 4) dx_at_pump_3 = View().PointerDX;
  });
  Run();
  EXPECT_EQ(dx_at_pump_3, 190);
  EXPECT_EQ(View().PointerDY, -190);
  EXPECT_EQ(platform_.Captions().size(), 3u);
}

TEST_F(Form1Test, CloseWhenIdleEndsTheProcessWithStatusZero) {
  platform_.PostWhenIdle(CloseEvent{});
  const RunResult result = Run();
  EXPECT_TRUE(result.ended);
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(platform_.Unloaded());
  EXPECT_TRUE(platform_.Messages().empty());
}

TEST_F(Form1Test, CloseDuringTheFirstDrawingEndsItAtOnce) {
  platform_.PostAtPump(10, CloseEvent{});
  platform_.PostAtPump(10, ClickEvent{});  // never handled: the process has ended
  const RunResult result = Run();
  EXPECT_TRUE(result.ended);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(platform_.Captions(), (Captions{"Form1", "Drawing..."}));
  EXPECT_EQ(platform_.Pumps(), 10);
  EXPECT_EQ(platform_.PointsSet().size(), 10u * 400u);
  EXPECT_TRUE(platform_.Unloaded());
}

TEST_F(Form1Test, CloseDuringANestedDrawingResumesNoDrawing) {
  platform_.PostAtPump(5, ClickEvent{});
  platform_.PostAtPump(25, CloseEvent{});
  const RunResult result = Run();
  EXPECT_TRUE(result.ended);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(platform_.Captions(), (Captions{"Form1", "Drawing...", "Drawing..."}));
  EXPECT_EQ(platform_.Pumps(), 25);
  EXPECT_EQ(platform_.PointsSet().size(), 25u * 400u);
}

TEST_F(Form1Test, ClickAtTheDeepestZoomChangesNothing) {
  // Clicking at the corner walks the centre out to -4 - 4i, where every point escapes at once
  // and deep drawings are cheap.
  platform_.PostWhenIdle(PointerMoveEvent{0, 0, 0, 0});
  for (int click = 0; click < 27; ++click) platform_.PostWhenIdle(ClickEvent{});
  platform_.RecordPoints(false);
  const RunResult result = Run();
  EXPECT_FALSE(result.ended);
  EXPECT_EQ(View().Zoom, kMaxZoom);
  EXPECT_EQ(platform_.Captions().size(), 1u + 2u * 27u);  // the first picture and 26 clicks
  EXPECT_EQ(platform_.Pumps(), 27 * kRows);
  EXPECT_TRUE(platform_.Messages().empty());
}

TEST_F(Form1Test, PointerFarOutsideTheWindowIsHandledWithoutError) {
  platform_.PostWhenIdle(PointerMoveEvent{1, 0, 1e7f, -1e7f});
  platform_.PostWhenIdle(ClickEvent{});
  const RunResult result = Run();
  EXPECT_FALSE(result.ended);
  EXPECT_EQ(View().PointerDX, 32767);
  EXPECT_EQ(View().PointerDY, -32768);
  EXPECT_EQ(View().OffsetX, 32767 * 0.02);
  EXPECT_TRUE(platform_.Messages().empty());
}

TEST_F(Form1Test, CapPointsTakeTheBackgroundReadWhenTheyAreSet) {
  constexpr Colour kGreen = 256 * 255;
  platform_.OnPump([&](int pump) {
    if (pump == 200) platform_.SetBackColour(kGreen);
  });
  Run();
  EXPECT_EQ(platform_.Pixel(200, 250), 0);       // drawn in the rows before the change
  EXPECT_EQ(platform_.Pixel(200, 150), kGreen);  // drawn after it
  EXPECT_EQ(platform_.Pixel(200, 0), 0);         // never drawn
}

TEST_F(Form1Test, AFailedWindowCallIsReportedAndEndsTheProcess) {
  platform_.FailCall(WindowCall::kSetPoint, 5000);
  const RunResult result = Run();
  EXPECT_TRUE(result.ended);
  EXPECT_NE(result.status, 0);
  ASSERT_EQ(platform_.Messages().size(), 1u);
  EXPECT_NE(platform_.Messages()[0].find("set a point"), std::string::npos);
  EXPECT_EQ(platform_.Captions(), (Captions{"Form1", "Drawing..."}));
  EXPECT_EQ(platform_.Pumps(), 12);  // 4999 points are 12 whole rows and part of the 13th
}

}  // namespace
}  // namespace fractal
