// The least work of exact cycle detection, which the drawing benchmark reports: orbits worked out
// by hand, and deep orbits against a search that remembers every state.
#include "support/least_work.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "render/kernel/escape_time.h"

namespace fractal {
namespace {

using testing::OrbitWork;
using testing::PlanePoint;
using testing::PointsWork;

// Work of Brent's checkpoint loop on an orbit with preperiod mu and period lambda: the checkpoint
// at count 2^k sees the repeat at 2^k + lambda once 2^k >= mu (the checkpoint is on the cycle) and
// 2^k >= lambda (the window reaches round it).
std::int64_t BrentWork(std::int64_t mu, std::int64_t lambda) {
  std::int64_t k = 1;
  while (k < mu || k < lambda) k *= 2;
  return k + lambda;
}

// Every state z_0 .. z_cap remembered: the first that equals an earlier one gives mu + lambda.
OrbitWork AllStatesWork(double cr, double ci, std::int32_t cap) {
  std::map<std::pair<double, double>, std::int64_t> seen;  // == on doubles, as the loop compares
  double zr = 0;
  double zi = 0;
  for (std::int64_t n = 0;; ++n) {
    if (n < cap && zr * zr + zi * zi >= 4.0) return {n, n, static_cast<std::int32_t>(n)};
    const auto [at, fresh] = seen.emplace(std::pair{zr, zi}, n);
    if (!fresh) {
      const std::int64_t mu = at->second;
      return {n, std::min<std::int64_t>(cap, BrentWork(mu, n - mu)), cap};
    }
    if (n == cap) return {cap, cap, cap};
    StepOrbit(cr, ci, zr, zi);
  }
}

// The points worked through together, so that orbits of every length share the slots.
void ExpectWork(std::int32_t cap, const std::vector<PlanePoint>& points,
                const std::vector<OrbitWork>& expected) {
  const std::vector<OrbitWork> work = PointsWork(points, cap, 2);
  ASSERT_EQ(work.size(), points.size());
  for (std::size_t i = 0; i < points.size(); ++i) {
    SCOPED_TRACE(::testing::Message()
                 << "c = " << points[i].real << " + " << points[i].imag << "i, cap " << cap);
    EXPECT_EQ(work[i].least, expected[i].least);
    EXPECT_EQ(work[i].brent, expected[i].brent);
    EXPECT_EQ(work[i].count, expected[i].count);
  }
}

TEST(LeastWork, HandWorkedOrbitsAndDeepOnesAgainstEveryStateRemembered) {
  // z = 0 throughout: z_0 = z_1, and z_2 equals the checkpoint z_1.
  // 0, -1, 0: z_0 = z_2; z_2 is no repeat of the checkpoint z_1, z_4 is one of z_2.
  // 0, i, -1 + i, -i, -1 + i: z_2 = z_4, seen at the checkpoint z_2.
  // 0, 1, 2: escapes at count 2.
  // Creeps up towards 1/2, never repeating.
  ExpectWork(16, {{0, 0}, {-1, 0}, {0, 1}, {1, 0}},
             {{1, 2, 16}, {2, 4, 16}, {4, 4, 16}, {2, 2, 2}});
  ExpectWork(1000, {{0.25, 0}}, {{1000, 1000, 1000}});
  // Caps below the work: the repeat of c = -1 lies within the cap although the loop sees it only
  // after it; c = i's repeat lies past the cap.
  ExpectWork(3, {{-1, 0}, {0, 1}}, {{2, 3, 3}, {3, 3, 3}});

  // Slow orbits inside the set near -3/4 and elsewhere: preperiods of up to tens of thousands of
  // steps (some found by the loop only past the cap), periods up to 8, one that neither repeats
  // nor escapes.
  constexpr std::int32_t kCap = 1 << 16;
  std::vector<PlanePoint> points{{-0.7493, 0.0007}, {-1.0, 0.249},  {-0.12, 0.64},
                                 {-1.754, 0.0},     {-1.2499, 0.0}, {-0.749, 0.001}};
  for (int k = 2; k <= 30; k += 4) {
    points.push_back({-0.75 + k * 0.0004, k * 0.0004});
    points.push_back({-0.75 + k * 0.0002, k * 0.0004});
  }
  std::vector<OrbitWork> expected;
  for (const PlanePoint& c : points) expected.push_back(AllStatesWork(c.real, c.imag, kCap));
  ExpectWork(kCap, points, expected);
}

}  // namespace
}  // namespace fractal
