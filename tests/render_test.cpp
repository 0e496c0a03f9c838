// The escape-time arithmetic and the picture of the initial view.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/memory_platform.h"
#include "render/kernel/escape_time.h"
#include "render/view_steps.h"
#include "runtime/runtime.h"
#include "support/reference_drawing.h"
#include "support/run_time_errors.h"
#include "window/form1.h"

namespace fractal {
namespace {

using testing::InitialView;
using testing::ReferencePicture;

constexpr Colour kBlack = 0;
constexpr Colour Red(int red) { return red; }

TEST(ViewSteps, VisitFourHundredRowsAndColumnsByRepeatedAddition) {
  const auto rows = RowSteps();
  const auto columns = ColumnSteps();
  ASSERT_EQ(rows.size(), 400u);
  ASSERT_EQ(columns.size(), 400u);
  EXPECT_EQ(rows.front(), 2.0);
  EXPECT_EQ(columns.front(), -2.0);
  // Accumulated, not recomputed: neither the middle column nor the middle row is exactly 0,
  // and the two are mirror images.
  EXPECT_NE(columns[200], 0.0);
  EXPECT_LT(std::abs(columns[200]), 1e-14);
  EXPECT_EQ(rows[200], -columns[200]);
  EXPECT_NEAR(rows.back(), -1.99, 1e-12);
  EXPECT_NEAR(columns.back(), 1.99, 1e-12);
}

EscapeParams ParamsAtZoom(int zoom) {
  ViewState view = InitialView();
  view.Zoom = zoom;
  return MakeEscapeParams(view);
}

TEST(EscapeTime, EscapesAtModulusTwoNotAbove) {
  // c = -2: z1 = -2, |z1| = 2 exactly, which counts as escaped.
  EXPECT_EQ(EscapeCount(-2.0, 0.0, 16), 1);
  EXPECT_EQ(EscapeCount(0.0, 0.0, 16), 16);
  EXPECT_EQ(EscapeCount(-1.0, 0.0, 16), 16);
  EXPECT_EQ(EscapeCount(2.0, 0.0, 16), 1);
}

TEST(EscapeTime, RedScalesWithZoomAndRoundsTiesToEven) {
  EXPECT_EQ(RedOf(1, ParamsAtZoom(1)), 32);
  EXPECT_EQ(RedOf(7, ParamsAtZoom(1)), 224);
  EXPECT_EQ(RedOf(15, ParamsAtZoom(1)), 480);  // clamped to 255 when the colour is built
  EXPECT_EQ(BuildColour(RedOf(15, ParamsAtZoom(1)), 0, 0), Red(255));
  EXPECT_EQ(RedOf(1, ParamsAtZoom(2)), 16);
  EXPECT_EQ(RedOf(1, ParamsAtZoom(4)), 8);
  EXPECT_EQ(RedOf(1, ParamsAtZoom(64)), 0);
  EXPECT_EQ(RedOf(3, ParamsAtZoom(64)), 2);
  EXPECT_EQ(RedOf(5, ParamsAtZoom(64)), 2);
}

TEST(EscapeTime, RedOfLateEscapesDoesNotOverflow) {
  // 16 n leaves 32 bits for n >= 2^27, which deep views reach.
  const EscapeParams params = ParamsAtZoom(kMaxZoom);
  EXPECT_EQ(params.cap, 16 * kMaxZoom);
  EXPECT_EQ(RedOf(std::int32_t{1} << 27, params), 64);
  EXPECT_EQ(RedOf(params.cap - 1, params), 512);
}

TEST(EscapeTime, CapBeyondThirtyTwoBitsIsAnOverflow) {
  EXPECT_EQ(testing::ErrorRaised([] { ParamsAtZoom(std::int32_t{1} << 27); }),
            ErrorKind::kOverflow);
}

class InitialPicture : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    platform_ = new MemoryPlatform(kForm1Design);
    const RunResult result = platform_->Run(MakeForm1Factory());
    ASSERT_FALSE(result.ended);
  }
  static void TearDownTestSuite() { delete platform_; }
  static Colour At(int column, int row) { return platform_->Pixel(column, row); }

  static MemoryPlatform* platform_;
};
MemoryPlatform* InitialPicture::platform_ = nullptr;

TEST_F(InitialPicture, EqualsTheReferenceArithmetic) {
  const std::vector<Colour> expected = ReferencePicture(InitialView());
  const auto surface = platform_->Surface();
  ASSERT_EQ(surface.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(surface[i], expected[i]) << "column " << i % 400 << ", row " << i / 400;
  }
}

TEST_F(InitialPicture, NamedPointsHaveTheirColours) {
  EXPECT_EQ(At(200, 200), kBlack);    // c ~ 0
  EXPECT_EQ(At(100, 200), kBlack);    // c ~ -1
  EXPECT_EQ(At(250, 200), Red(160));  // c ~ 0.5, n = 5
  EXPECT_EQ(At(200, 1), Red(64));     // c ~ -1.99i, n = 2
  EXPECT_EQ(At(0, 1), Red(32));       // c = -2 - 1.99i, n = 1
  for (int row = 1; row < 400; ++row) ASSERT_EQ(At(0, row), Red(32)) << row;
}

TEST_F(InitialPicture, PointsReachingTheCapAreBackgroundEvenWhenTheyEscapeThere) {
  // Column 183, row 303 escapes on its 16th iteration, which is the cap.
  EXPECT_EQ(EscapeCount(ColumnSteps()[183], RowSteps()[400 - 303], 17), 16);  // y = 1.03
  EXPECT_EQ(At(183, 303), kBlack);
  int escaping_at_cap = 0;
  for (double y : RowSteps()) {
    for (double x : ColumnSteps()) {
      if (EscapeCount(x, y, 17) != 16) continue;
      ++escaping_at_cap;
      const long column = std::lrint(static_cast<float>(x * 100 + 200));
      const long row = std::lrint(static_cast<float>(y * 100 + 200));
      if (row < 400) {
        EXPECT_EQ(At(column, row), kBlack) << column << ", " << row;
      }
    }
  }
  EXPECT_EQ(escaping_at_cap, 249);
}

TEST_F(InitialPicture, DrawsBottomRowFirstAndLeavesRowZeroUntouched) {
  const auto& points = platform_->PointsSet();
  ASSERT_EQ(points.size(), 160000u);
  EXPECT_EQ(points.front().y, 400.0f);  // off the surface, ignored
  EXPECT_EQ(points.front().x, 0.0f);
  EXPECT_EQ(points[1].x, 1.0f);
  EXPECT_EQ(points[400].y, 399.0f);
  EXPECT_EQ(points.back().y, 1.0f);
  EXPECT_EQ(points.back().x, 399.0f);
  for (const SurfacePoint& point : points) {
    ASSERT_EQ(point.x, std::nearbyint(point.x));
    ASSERT_EQ(point.y, std::nearbyint(point.y));
    ASSERT_NE(point.y, 0.0f);
  }
  // Row 0 still shows the window's background, even where the set's colour would be red.
  for (int column = 0; column < 400; ++column) ASSERT_EQ(At(column, 0), kBlack);
  EXPECT_EQ(platform_->Pumps(), 400);
}

}  // namespace
}  // namespace fractal
