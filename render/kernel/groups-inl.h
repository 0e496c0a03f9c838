// Small caps (up to kKernelGroupCapLimit): fixed groups of consecutive points run from z = 0
// until the whole group is done, with no refills and no cycle checks. Where every orbit is short
// the scheduler's looks at the lanes would cost more than the idle lanes do.

// Highway's per-target include guard: this file is included once for each target.
#if defined(FRACTAL_RENDER_KERNEL_GROUPS_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef FRACTAL_RENDER_KERNEL_GROUPS_INL_H_
#undef FRACTAL_RENDER_KERNEL_GROUPS_INL_H_
#else
#define FRACTAL_RENDER_KERNEL_GROUPS_INL_H_
#endif

#include <hwy/highway.h>

#include <cstdint>

#include "render/kernel/chunks.h"
#include "render/kernel/lanes/escape_test-inl.h"
#include "render/kernel/lanes/lane_state-inl.h"
#include "render/kernel/tuning.h"

HWY_BEFORE_NAMESPACE();
namespace fractal::kernel_detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

inline constexpr int kGroupVectors =
    kFullLanes == 1 ? tuning::kGroupVectorsOfOneLane : tuning::kGroupVectors;
inline constexpr int kGroup = kFullLanes * kGroupVectors;

// Lanes for the group's first `held` points from `first` on; lanes past the last point start
// finished, and so never hold the group up.
HWY_INLINE void StartGroup(const double* c_real, const double* c_imag, int held,
                           Lanes<DF> (&lanes)[kGroupVectors]) {
  const DF df;
  const IntTag<DF> di;
  HWY_UNROLL(4)
  for (int v = 0; v < kGroupVectors; ++v) {
    const int in_vector = held - v * kFullLanes;
    Lanes<DF>& l = lanes[v];
    l.zr = l.zi = l.checkpoint_r = l.checkpoint_i = hn::Zero(df);
    l.cr = hn::LoadU(df, c_real + v * kFullLanes);
    l.ci = hn::LoadU(df, c_imag + v * kFullLanes);
    l.count = l.checkpoint_at = hn::Zero(di);
    l.running = hn::FirstN(df, in_vector < 0 ? 0 : static_cast<std::size_t>(in_vector));
  }
}

// Runs the `held` points of a group from z = 0 until every one is done; returns the lane
// iterations. At most cap steps, so no count passes the cap.
inline std::uint64_t RunGroup(const RowTask& task, std::int64_t first, int held) {
  const DF df;
  const double* c_real = task.c_real + first;
  const double* c_imag = task.c_imag + first;
  // A group short of points reads copies, so that lanes past the last point read zeros, not
  // past the end of the points.
  alignas(64) double tail_real[kGroup];
  alignas(64) double tail_imag[kGroup];
  if (held < kGroup) {
    for (int i = 0; i < kGroup; ++i) {
      tail_real[i] = i < held ? c_real[i] : 0;
      tail_imag[i] = i < held ? c_imag[i] : 0;
    }
    c_real = tail_real;
    c_imag = tail_imag;
  }
  Lanes<DF> lanes[kGroupVectors];
  StartGroup(c_real, c_imag, held, lanes);
  std::int64_t steps = 0;
  while (steps < task.cap) {
    auto any = hn::FirstN(df, 0);
    HWY_UNROLL(4)
    for (int v = 0; v < kGroupVectors; ++v) {
      Step(lanes[v]);
      any = hn::Or(any, lanes[v].running);
    }
    ++steps;
    if (hn::AllFalse(df, any)) break;
  }
  alignas(64) std::int64_t counts[kGroup];
  HWY_UNROLL(4)
  for (int v = 0; v < kGroupVectors; ++v) {
    hn::Store(lanes[v].count, IntTag<DF>(), counts + v * kFullLanes);
  }
  for (int i = 0; i < held; ++i) task.counts[first + i] = static_cast<std::int32_t>(counts[i]);
  return static_cast<std::uint64_t>(steps) * static_cast<std::uint64_t>(held);
}

inline void ComputeGroups(const RowTask& task, KernelWork& work) {
  for (std::int64_t first = 0; first < task.size; first += kGroup) {
    const std::int64_t left = task.size - first;
    work.executed += RunGroup(task, first, left < kGroup ? static_cast<int>(left) : kGroup);
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace fractal::kernel_detail
HWY_AFTER_NAMESPACE();

#endif  // per-target include guard
