// Which lanes lead. The orbits that have run longest (at least tuning::kLeadFrom iterations) take
// the first vector, which runs tuning::kLeaderSteps steps for each step of the others
// (lanes/runs-inl.h), so that an orbit that runs far longer than the rest does not hold up the
// end of the drawing. The scheduler looks for leaders every tuning::kRunsPerLeaderLook runs.

// Highway's per-target include guard: this file is included once for each target.
#if defined(FRACTAL_RENDER_KERNEL_LANES_LEADERS_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef FRACTAL_RENDER_KERNEL_LANES_LEADERS_INL_H_
#undef FRACTAL_RENDER_KERNEL_LANES_LEADERS_INL_H_
#else
#define FRACTAL_RENDER_KERNEL_LANES_LEADERS_INL_H_
#endif

#include <hwy/highway.h>

#include <algorithm>
#include <cstdint>

#include "render/kernel/lanes/lane_state-inl.h"
#include "render/kernel/tuning.h"

HWY_BEFORE_NAMESPACE();
namespace fractal::kernel_detail {
namespace HWY_NAMESPACE {

// The lane of the first vector with the lowest count.
inline int LowestInFirstVector(const LaneState& s) {
  int lowest = 0;
  for (int lane = 1; lane < kFullLanes; ++lane) {
    lowest = s.count[lane] < s.count[lowest] ? lane : lowest;
  }
  return lowest;
}

// Moves the running lanes with the highest counts from kLeadFrom up into the first vector;
// returns whether it holds a leader. Only where more than one vector runs: one alone runs at the
// leaders' pace anyway.
inline bool MoveLeadersFirst(LaneState& s, int live) {
  if (live <= kFullLanes) return false;
  int lowest = LowestInFirstVector(s);
  for (int lane = kFullLanes; lane < live; ++lane) {
    if (s.count[lane] < tuning::kLeadFrom || s.count[lane] <= s.count[lowest]) continue;
    SwapLanes(s, lane, lowest);
    lowest = LowestInFirstVector(s);
  }
  std::int64_t highest = 0;
  for (int lane = 0; lane < kFullLanes; ++lane) highest = std::max(highest, s.count[lane]);
  return highest >= tuning::kLeadFrom;
}

}  // namespace HWY_NAMESPACE
}  // namespace fractal::kernel_detail
HWY_AFTER_NAMESPACE();

#endif  // per-target include guard
