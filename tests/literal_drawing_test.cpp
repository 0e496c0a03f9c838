// The literal whole drawing the benchmark times against the fast one: the reference picture,
// drawn point by point through the window with the viewer's captions, and the errors the
// drawing routine raises.
#include "support/literal_drawing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/memory_platform.h"
#include "runtime/runtime.h"
#include "support/click_views.h"
#include "support/reference_drawing.h"
#include "support/run_time_errors.h"
#include "window/form1.h"

namespace fractal {
namespace {

using testing::Dive;
using testing::InitialView;
using testing::LiteralDrawing;
using testing::ReferencePicture;
using Captions = std::vector<std::string>;

constexpr Colour kGreen = 256 * 255;
constexpr Colour kBlue = 65536 * 255;

void ExpectSurface(const MemoryPlatform& platform, const std::vector<Colour>& expected) {
  const auto surface = platform.Surface();
  ASSERT_EQ(surface.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(surface[i], expected[i]) << "column " << i % 400 << ", row " << i / 400;
  }
}

TEST(LiteralDrawing, DrawsTheReferencePictureOfTheFirstViewAndOfClickedOnes) {
  for (int clicks : {0, 1, 2}) {
    SCOPED_TRACE(clicks);
    const ViewState view = Dive(clicks);
    MemoryPlatform platform(kForm1Design);
    LiteralDrawing(platform, view);
    EXPECT_EQ(platform.Captions(), (Captions{"Form1", "Drawing...", "Ready."}));
    EXPECT_EQ(platform.PointsSet().size(), 400u * 400u);
    EXPECT_EQ(platform.Pumps(), 400);
    ExpectSurface(platform, ReferencePicture(view));
  }
}

TEST(LiteralDrawing, CapPointsTakeTheBackgroundReadWhenEachIsSet) {
  // Surface rows 400 down to 201 are drawn before pump 200 begins, rows 200 to 1 after it; row 0
  // is never drawn and keeps the surface's first colour.
  MemoryPlatform platform({"Form1", 400, 400, kGreen});
  platform.OnPump([&](int pump) {
    if (pump == 200) platform.SetBackColour(kBlue);
  });
  LiteralDrawing(platform, InitialView());
  std::vector<Colour> expected = ReferencePicture(InitialView(), 400, 400, kGreen);
  const std::vector<Colour> after_change = ReferencePicture(InitialView(), 400, 400, kBlue);
  std::copy(after_change.begin() + 400, after_change.begin() + 201 * 400, expected.begin() + 400);
  ExpectSurface(platform, expected);
}

using testing::ErrorRaised;

TEST(LiteralDrawing, RaisesTheErrorsOfTheDrawingRoutine) {
  MemoryPlatform failing(kForm1Design);
  failing.FailCall(WindowCall::kSetPoint, 1000);
  EXPECT_EQ(ErrorRaised([&] { LiteralDrawing(failing, InitialView()); }), ErrorKind::kFailedCall);
  EXPECT_EQ(failing.PointsSet().size(), 999u);
  EXPECT_EQ(failing.Captions(), (Captions{"Form1", "Drawing..."}));

  // A cap 16 * Zoom beyond 32 bits.
  ViewState too_deep = InitialView();
  too_deep.Zoom = std::int32_t{1} << 27;
  MemoryPlatform deep(kForm1Design);
  EXPECT_EQ(ErrorRaised([&] { LiteralDrawing(deep, too_deep); }), ErrorKind::kOverflow);
  EXPECT_TRUE(deep.PointsSet().empty());

  // Far out in the plane the second iteration's squares overflow.
  ViewState far_out = InitialView();
  far_out.OffsetX = 1e300;
  MemoryPlatform far(kForm1Design);
  EXPECT_EQ(ErrorRaised([&] { LiteralDrawing(far, far_out); }), ErrorKind::kFloatingPoint);
  EXPECT_TRUE(far.PointsSet().empty());
}

}  // namespace
}  // namespace fractal
