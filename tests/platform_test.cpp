// The in-memory window's surface: points set many at a time land where the same points set one
// by one land, whatever heights follow one another in a call.
#include <gtest/gtest.h>

#include <vector>

#include "platform/memory_platform.h"

namespace fractal {
namespace {

constexpr FormDesign kSmall{"Form1", 8, 6, 7};

TEST(MemoryPlatformSurface, SetPointsPaintsAsSetPointDoesForAnyMixOfHeights) {
  // Heights change within the call, leave the surface and come back, repeat an earlier row,
  // round (ties to even) and include -0; columns go off either edge.
  const std::vector<SurfacePoint> points{
      {0, 2, 1},     {1, 2, 2},     {9, 2, 3},     {2, 6, 4},     {3, 6, 5},     {4, 2, 6},
      {5, -1, 7},    {-1, 3, 8},    {6, 3, 9},     {1, 2.5f, 10}, {2, 3.5f, 11}, {3, -0.0f, 12},
      {7, 0.0f, 13}, {2.5f, 1, 14}, {7.6f, 1, 15}, {0, 5.4f, 16}, {1, 5.6f, 17}, {2, 2, 18}};
  MemoryPlatform together(kSmall);
  MemoryPlatform one_by_one(kSmall);
  ASSERT_EQ(together.SetPoints(points), points.size());
  for (const SurfacePoint& point : points) ASSERT_TRUE(one_by_one.SetPoint(point));
  const auto expected = one_by_one.Surface();
  const auto surface = together.Surface();
  ASSERT_EQ(surface.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(surface[i], expected[i]) << i;
  // A few of the cases, so that the comparison above is known to cover them.
  EXPECT_EQ(together.Pixel(2, 2), 18);  // the row came back
  EXPECT_EQ(together.Pixel(1, 2), 10);  // 2.5 rounds to row 2
  EXPECT_EQ(together.Pixel(2, 4), 11);  // 3.5 rounds to row 4
  EXPECT_EQ(together.Pixel(3, 0), 12);
  EXPECT_EQ(together.Pixel(2, 1), 14);                 // column 2.5 rounds to 2
  EXPECT_EQ(together.Pixel(1, 5), kSmall.background);  // row 5.6 rounds off the surface
  EXPECT_EQ(together.Pixel(0, 5), 16);
}

TEST(MemoryPlatformSurface, SetPointsStopsAtAFailingPointAndPaintsOnlyThoseBefore) {
  const std::vector<SurfacePoint> points{{0, 0, 1}, {1, 0, 2}, {2, 1, 3}, {3, 1, 4}};
  MemoryPlatform platform(kSmall);
  platform.FailCall(WindowCall::kSetPoint, 3);
  EXPECT_EQ(platform.SetPoints(points), 2u);
  EXPECT_EQ(platform.Pixel(1, 0), 2);
  EXPECT_EQ(platform.Pixel(2, 1), kSmall.background);
  EXPECT_EQ(platform.Pixel(3, 1), kSmall.background);
}

}  // namespace
}  // namespace fractal
