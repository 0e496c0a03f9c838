// The least work of exact cycle detection, which the drawing benchmark reports: orbits worked out
// by hand, and deep orbits against a search that remembers every state.
#include "support/least_work.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <utility>

namespace fractal {
namespace {

using testing::OrbitWork;
using testing::PointWork;

// Work of the checkpoint loop on an orbit with preperiod mu and period lambda: the checkpoint at
// count 2^k sees the repeat at 2^k + lambda once 2^k >= mu (the checkpoint is on the cycle) and
// 2^k >= lambda (the window reaches round it).
std::int64_t CheckpointWork(std::int64_t mu, std::int64_t lambda) {
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
    if (n < cap && zr * zr + zi * zi >= 4.0) return {n, n};
    const auto [at, fresh] = seen.emplace(std::pair{zr, zi}, n);
    if (!fresh) {
      const std::int64_t mu = at->second;
      return {n, std::min<std::int64_t>(cap, CheckpointWork(mu, n - mu))};
    }
    if (n == cap) return {cap, cap};
    const double zr2 = zr * zr;
    const double zi2 = zi * zi;
    const double t = (zr2 - zi2) + cr;
    zi = ci + (2 * zr) * zi;
    zr = t;
  }
}

void ExpectWork(double cr, double ci, std::int32_t cap, std::int64_t least,
                std::int64_t checkpoints) {
  SCOPED_TRACE(::testing::Message() << "c = " << cr << " + " << ci << "i, cap " << cap);
  const OrbitWork work = PointWork(cr, ci, cap);
  EXPECT_EQ(work.least, least);
  EXPECT_EQ(work.checkpoints, checkpoints);
}

TEST(LeastWork, HandWorkedOrbitsAndDeepOnesAgainstEveryStateRemembered) {
  ExpectWork(0, 0, 16, 1, 2);   // z = 0 throughout: z_0 = z_1; z_2 equals the checkpoint z_1
  ExpectWork(-1, 0, 16, 2, 4);  // 0, -1, 0: z_0 = z_2; z_2 is no repeat of z_1, z_4 is of z_2
  ExpectWork(0, 1, 16, 4, 4);   // 0, i, -1 + i, -i, -1 + i: z_2 = z_4, seen at the checkpoint z_2
  ExpectWork(1, 0, 16, 2, 2);   // 0, 1, 2: escapes at count 2
  ExpectWork(0.25, 0, 1000, 1000, 1000);  // creeps up towards 1/2, never repeating
  // Caps below the work: the repeat of c = -1 lies within the cap although the loop sees it only
  // after it; c = i's repeat lies past the cap.
  ExpectWork(-1, 0, 3, 2, 3);
  ExpectWork(0, 1, 3, 3, 3);

  // Slow orbits inside the set: preperiods of tens of thousands of steps (the first two found
  // by the loop only past the cap), periods 8 and 3, and one that neither repeats nor escapes.
  constexpr std::int32_t kCap = 1 << 16;
  for (const auto& [cr, ci] : {std::pair{-0.7493, 0.0007},
                               {-0.749, 0.001},
                               {-1.0, 0.249},
                               {-0.12, 0.64},
                               {-1.754, 0.0},
                               {-1.2499, 0.0}}) {
    SCOPED_TRACE(::testing::Message() << "c = " << cr << " + " << ci << "i");
    const OrbitWork expected = AllStatesWork(cr, ci, kCap);
    const OrbitWork work = PointWork(cr, ci, kCap);
    EXPECT_EQ(work.least, expected.least);
    EXPECT_EQ(work.checkpoints, expected.checkpoints);
  }
}

}  // namespace
}  // namespace fractal
