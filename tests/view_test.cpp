// The view record: its origin, pointer offsets and the click zoom.
#include <gtest/gtest.h>

#include <limits>

#include "runtime/runtime.h"
#include "support/run_time_errors.h"
#include "view/view_state.h"

namespace fractal {
namespace {

TEST(InitialiseView, CentresOnTheSurfaceRoundingHalvesToEven) {
  ViewState view;
  InitialiseView(view, 400, 400);
  EXPECT_EQ(view.CenterX, 200);
  EXPECT_EQ(view.CenterY, 200);
  EXPECT_EQ(view.Zoom, 1);
  EXPECT_EQ(view.OffsetX, 0.0);
  EXPECT_EQ(view.PointerDX, 0);
  EXPECT_EQ(view.PointerDY, 0);

  InitialiseView(view, 401, 403);  // 200.5 -> 200, 201.5 -> 202
  EXPECT_EQ(view.CenterX, 200);
  EXPECT_EQ(view.CenterY, 202);
}

TEST(InitialiseView, TakesColumnsFromWidthAndRowsFromHeight) {
  ViewState view;
  InitialiseView(view, 640, 100);
  EXPECT_EQ(view.CenterX, 320);
  EXPECT_EQ(view.CenterY, 50);
}

TEST(InitialiseView, RaisesOverflowForAnExtentBeyondSixteenBits) {
  ViewState view;
  EXPECT_EQ(testing::ErrorRaised([&] { InitialiseView(view, 70000, 400); }), ErrorKind::kOverflow);
}

ViewState Loaded() {
  ViewState view;
  InitialiseView(view, 400, 400);
  return view;
}

TEST(CoordinateRules, MapViewPointsToSurfaceAndPlane) {
  ViewState view = Loaded();
  EXPECT_EQ(SurfaceColumn(view, -2.0), 0.0f);
  EXPECT_EQ(SurfaceRow(view, 2.0), 400.0f);
  view.Zoom = 4;
  view.OffsetX = 6.0;
  view.OffsetY = -2.0;
  EXPECT_EQ(PlaneReal(view, 0.0), 1.5);
  EXPECT_EQ(PlaneImaginary(view, 0.0), -0.5);
}

TEST(TrackPointer, StoresOffsetsRoundedToEven) {
  ViewState view = Loaded();
  TrackPointer(view, 202.5f, 203.5f);
  EXPECT_EQ(view.PointerDX, 2);
  EXPECT_EQ(view.PointerDY, 4);
  TrackPointer(view, 197.5f, 0.0f);
  EXPECT_EQ(view.PointerDX, -2);
  EXPECT_EQ(view.PointerDY, -200);
}

TEST(TrackPointer, SaturatesOffsetsFarOutsideTheSurface) {
  ViewState view = Loaded();
  TrackPointer(view, 1e9f, -1e9f);
  EXPECT_EQ(view.PointerDX, std::numeric_limits<std::int16_t>::max());
  EXPECT_EQ(view.PointerDY, std::numeric_limits<std::int16_t>::min());
  TrackPointer(view, 32967.0f, -32568.0f);  // just inside the range after subtracting 200
  EXPECT_EQ(view.PointerDX, 32767);
  EXPECT_EQ(view.PointerDY, -32768);
  TrackPointer(view, std::numeric_limits<float>::infinity(), 0);
  EXPECT_EQ(view.PointerDX, 32767);
}

TEST(ZoomAtPointer, CentresOnThePointUnderThePointer) {
  ViewState view = Loaded();
  TrackPointer(view, 300, 200);
  ASSERT_TRUE(ZoomAtPointer(view));
  EXPECT_EQ(view.Zoom, 2);
  EXPECT_EQ(view.OffsetX, 2.0);
  EXPECT_EQ(view.OffsetY, 0.0);
  EXPECT_EQ(view.StopRequested, kTrue);
  // No movement between two clicks: the second centres on 1.5 + 0i.
  ASSERT_TRUE(ZoomAtPointer(view));
  EXPECT_EQ(view.Zoom, 4);
  EXPECT_EQ(view.OffsetX, 6.0);
  EXPECT_EQ(PlaneReal(view, 0.0), 1.5);
}

TEST(ZoomAtPointer, BeforeAnyMovementDoublesTheOffsets) {
  ViewState view = Loaded();
  view.OffsetX = 0.25;
  view.OffsetY = -0.5;
  ASSERT_TRUE(ZoomAtPointer(view));
  EXPECT_EQ(view.OffsetX, 0.5);
  EXPECT_EQ(view.OffsetY, -1.0);
}

TEST(ZoomAtPointer, PointerBelowTheCentreMovesTowardLargerImaginaryParts) {
  ViewState view = Loaded();
  TrackPointer(view, 200, 250);
  ASSERT_TRUE(ZoomAtPointer(view));
  EXPECT_GT(PlaneImaginary(view, 0.0), 0.0);
  EXPECT_EQ(PlaneImaginary(view, 0.0), 0.5);
}

TEST(ZoomAtPointer, StopsAtTheDeepestZoomChangingNothing) {
  ViewState view = Loaded();
  TrackPointer(view, 210, 190);
  for (int click = 0; click < 26; ++click) ASSERT_TRUE(ZoomAtPointer(view)) << click;
  EXPECT_EQ(view.Zoom, kMaxZoom);
  view.StopRequested = kFalse;
  const ViewState before = view;
  EXPECT_FALSE(ZoomAtPointer(view));
  EXPECT_EQ(view.Zoom, before.Zoom);
  EXPECT_EQ(view.OffsetX, before.OffsetX);
  EXPECT_EQ(view.OffsetY, before.OffsetY);
  EXPECT_EQ(view.StopRequested, kFalse);
}

}  // namespace
}  // namespace fractal
