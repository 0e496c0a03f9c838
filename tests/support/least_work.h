// What exact cycle detection must cost on a view: the least work any method that stops an orbit
// at an exact repeat can do, and the work of Brent's plain checkpoint loop. The drawing benchmark
// sets the kernel's executed iterations against both.
//
// Orbits follow EscapeCount's arithmetic operation for operation, so a repeat here is a repeat of
// the states the kernel computes. z_0 = 0 and z_{n+1} = F(z_n); a point's escape count is the
// first n below the cap with |z_n| >= 2.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "view/view_state.h"

namespace fractal::testing {

struct OrbitWork {
  // The escape count if the orbit escapes below the cap; if it repeats exactly, mu + lambda (the
  // first mu with z_mu = z_{mu+lambda}, lambda the least period), at most the cap; otherwise the
  // cap. No exact-repeat method can stop the orbit with fewer iterations.
  std::int64_t least = 0;
  // Iterations of Brent's plain loop, which compares every state with a checkpoint, the state at
  // count 1, 2, 4, 8, ... (each compared with the states after it up to and including the next):
  // until it escapes, until a state equals the checkpoint, or the cap.
  std::int64_t brent = 0;
  // The plain loop's count: the escape count, or the cap for an orbit that repeats exactly or
  // reaches it.
  std::int32_t count = 0;
};

struct PlanePoint {
  double real = 0;
  double imag = 0;
};

// Each of `points` (c), on `threads` threads.
std::vector<OrbitWork> PointsWork(std::span<const PlanePoint> points, std::int32_t cap,
                                  int threads);

// Sums over every point of a drawing of `view` (RowSteps x ColumnSteps), on `threads` threads.
struct ViewWork {
  std::uint64_t least = 0;
  std::uint64_t brent = 0;
  // The point whose Brent loop runs longest (the first such in drawing order), and how long.
  int slowest_row = 0;
  int slowest_column = 0;
  std::int64_t slowest_brent = 0;
  std::vector<std::int32_t> counts;  // the plain loop's count of every point, in drawing order
};
ViewWork LeastWork(const ViewState& view, int threads);

}  // namespace fractal::testing
