// The lanes' schedule: what one run of the lanes does between two looks by the scheduler.
//
// A run loads up to tuning::kMaxVectors vectors of lanes into registers and iterates them
// interleaved, so that one orbit's latency hides behind the others'; the first vector may lead
// (lanes/leaders-inl.h), taking several steps for each step of the others. Lanes iterate in blocks
// of tuning::kBlock iterations: plain ones, ones that compare with the checkpoints, and on deep
// views ones that also track returns, without escape tests where they may. A run returns after the
// first block at whose end some lane is finished, soon after a lane proposes a return or its
// Taylor trap is due, or after tuning::kMaxBlocksPerRun blocks, so that an abandoned feed is
// noticed soon. The last few lanes of a dry feed run on narrow vectors.

// Highway's per-target include guard: this file is included once for each target.
#if defined(FRACTAL_RENDER_KERNEL_LANES_RUNS_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef FRACTAL_RENDER_KERNEL_LANES_RUNS_INL_H_
#undef FRACTAL_RENDER_KERNEL_LANES_RUNS_INL_H_
#else
#define FRACTAL_RENDER_KERNEL_LANES_RUNS_INL_H_
#endif

#include <hwy/highway.h>

#include <algorithm>
#include <cstdint>

#include "render/kernel/chunks.h"
#include "render/kernel/lanes/checkpoints-inl.h"
#include "render/kernel/lanes/escape_test-inl.h"
#include "render/kernel/lanes/lane_state-inl.h"
#include "render/kernel/lanes/untested-inl.h"
#include "render/kernel/tuning.h"
#include "render/kernel/vector_step-inl.h"

HWY_BEFORE_NAMESPACE();
namespace fractal::kernel_detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// What a run did, for the scheduler.
struct RunReport {
  std::int64_t blocks = 0;       // kBlock iterations run, a tracked block counting as several
  std::uint64_t lane_steps = 0;  // iterations of the lanes below `live`, finished or not
  std::uint64_t finished = 0;    // bit i: lane i is finished
  std::uint64_t proposed = 0;    // bit i: lane i proposes its closest return for a proof
  std::uint64_t traps_due = 0;   // bit i: lane i's Taylor trap is due again
};

// A block with escape tests and no comparisons; the first vector takes kLead steps for each step
// of the others.
template <class D, int V, int kLead>
HWY_INLINE void PlainBlock(Lanes<D> (&lanes)[V]) {
  HWY_UNROLL(8)
  for (int i = 0; i < tuning::kBlock; ++i) {
    HWY_UNROLL(4)
    for (int k = 0; k < kLead; ++k) Step(lanes[0]);
    HWY_UNROLL(4)
    for (int v = 1; v < V; ++v) Step(lanes[v]);
  }
}

// Adds to `report` the finished lanes among the `held` ones (escaped, or at the cap) and, where
// returns are tracked, the running ones that propose one.
template <bool kTrack, class D, int V>
HWY_INLINE void FinishedLanes(const Lanes<D> (&lanes)[V], const DoubleMask<D> (&held)[V],
                              const LaneLimits& limits, const LaneState& s, RunReport& report) {
  const D d;
  const IntTag<D> di;
  const Ints<D> below_cap = hn::Set(di, limits.cap - 1);
  HWY_UNROLL(4)
  for (int v = 0; v < V; ++v) {
    const Lanes<D>& l = lanes[v];
    const int o = v * kLanesOf<D>;
    const DoubleMask<D> capped = hn::RebindMask(d, hn::Gt(l.count, below_cap));
    const DoubleMask<D> done = hn::And(held[v], hn::Or(hn::Not(l.running), capped));
    report.finished |= MaskBits(d, done) << o;
    if (!kTrack) continue;
    report.proposed |= MaskBits(d, Proposals(l, held[v], done, limits, s, o)) << o;
    report.traps_due |= MaskBits(d, TrapsDue(l, held[v], done, s, o)) << o;
  }
}

// One block of whichever kind the lanes are due; returns whether it tracked returns.
template <class D, int V, int kLead>
HWY_INLINE bool RunBlock(Lanes<D> (&lanes)[V], const LaneLimits& limits, LaneState& s,
                         bool untested) {
  // Closest returns are tracked once some lane may propose: a proposal then holds the closest
  // return since the tracking began, or in the window that closed last.
  if (SomeLaneFrom(lanes, limits.propose_from)) {
    if (untested) {
      CheckedBlock<true, true, D, V, kLead>(lanes, limits, s);
    } else {
      CheckedBlock<true, false, D, V, kLead>(lanes, limits, s);
    }
    return true;
  }
  if (SomeLaneFrom(lanes, limits.cycle_check_from)) {
    CheckedBlock<false, false, D, V, kLead>(lanes, limits, s);
  } else {
    PlainBlock<D, V, kLead>(lanes);
  }
  return false;
}

// Runs the first `live` lanes, on V vectors of D; blocks that track returns run untested if
// `untested`.
template <class D, int V, int kLead>
RunReport RunVectors(LaneState& s, const LaneLimits& limits, int live, bool untested) {
  const D d;
  constexpr int kLanesOfD = kLanesOf<D>;
  Lanes<D> lanes[V];
  DoubleMask<D> held[V];  // the lanes below `live`
  HWY_UNROLL(4)
  for (int v = 0; v < V; ++v) {
    lanes[v] = LoadLanes<D>(s, v * kLanesOfD);
    const int in_vector = live - v * kLanesOfD;
    held[v] = hn::FirstN(d, in_vector < 0 ? 0 : static_cast<std::size_t>(in_vector));
  }
  RunReport report;
  std::int64_t proposals_due = tuning::kMaxBlocksPerRun;
  while (report.finished == 0 && report.blocks < proposals_due) {
    const bool tracked = RunBlock<D, V, kLead>(lanes, limits, s, untested);
    if (tracked) {
      report.blocks += tuning::kTrackedBlocks;
      FinishedLanes<true>(lanes, held, limits, s, report);
    } else {
      ++report.blocks;
      FinishedLanes<false>(lanes, held, limits, s, report);
    }
    if ((report.proposed | report.traps_due) != 0 && proposals_due == tuning::kMaxBlocksPerRun) {
      proposals_due = std::min(tuning::kMaxBlocksPerRun, report.blocks + tuning::kProposalWait);
    }
  }
  HWY_UNROLL(4)
  for (int v = 0; v < V; ++v) StoreLanes(lanes[v], s, v * kLanesOfD);
  const int leading = live < kLanesOfD ? live : kLanesOfD;
  report.lane_steps = static_cast<std::uint64_t>(report.blocks) * tuning::kBlock *
                      static_cast<std::uint64_t>(live + (kLead - 1) * leading);
  return report;
}

// Iterates the first `live` lanes of vectors of D on as few vectors as hold them, the first
// vector taking kLead steps for each of the others'.
template <class D, int kLead>
RunReport RunOn(LaneState& s, const LaneLimits& limits, int live, bool untested) {
  static_assert(tuning::kMaxVectors == 4, "one case per number of vectors");
  switch ((live + kLanesOf<D> - 1) / kLanesOf<D>) {
    case 1:
      return RunVectors<D, 1, 1>(s, limits, live, untested);
    case 2:
      return RunVectors<D, 2, kLead>(s, limits, live, untested);
    case 3:
      return RunVectors<D, 3, kLead>(s, limits, live, untested);
    default:
      return RunVectors<D, 4, kLead>(s, limits, live, untested);
  }
}

// Iterates the first `live` lanes: on narrow vectors once the feed is dry and two of them hold
// the lanes left; else on full vectors, the first of them leading if `lead`.
inline RunReport Run(LaneState& s, const LaneLimits& limits, int live, bool dry, bool lead) {
  const bool untested = MayRunUntested(s, limits, live);
  if (kLanesOf<DN> < kFullLanes && dry && live <= kLanesOf<DN> * 2) {
    return RunOn<DN, 1>(s, limits, live, untested);
  }
  if (!lead) return RunOn<DF, 1>(s, limits, live, untested);
  return untested ? RunOn<DF, tuning::kLeaderStepsUntested>(s, limits, live, true)
                  : RunOn<DF, tuning::kLeaderSteps>(s, limits, live, false);
}

}  // namespace HWY_NAMESPACE
}  // namespace fractal::kernel_detail
HWY_AFTER_NAMESPACE();

#endif  // per-target include guard
