// Exact cycle detection, and the near returns the lanes propose for interior proofs.
//
// When the state of a lane that has passed every escape test so far equals one of its earlier
// states, the orbit is periodic through states that all passed, so it never escapes and its count
// is the cap. Checkpoints are taken at block ends: the orbit's first state z = 0, then the state
// at counts limits.cycle_check_from, twice that, four times, ...; on deep views, from
// tuning::kWindowFrom on, windows a quarter of the count long. Later states are compared with the
// checkpoint, in the manner of Brent. The comparisons run only once some lane has iterated
// cycle_check_from times: on views with few interior points they cost more than they save.
//
// Lanes also look for interior proofs, which come much earlier than an exact repeat deep in the
// set. At the end of each block that tracks returns, a lane notes how close its state came back
// to the checkpoint; as the window closes, a lane whose closest return was near enough proposes
// it, and the scheduler hands the prover the lane's state, the return's distance and the steps it
// took (proof/interior_proof.h).

// Highway's per-target include guard: this file is included once for each target.
#if defined(FRACTAL_RENDER_KERNEL_LANES_CHECKPOINTS_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef FRACTAL_RENDER_KERNEL_LANES_CHECKPOINTS_INL_H_
#undef FRACTAL_RENDER_KERNEL_LANES_CHECKPOINTS_INL_H_
#else
#define FRACTAL_RENDER_KERNEL_LANES_CHECKPOINTS_INL_H_
#endif

#include <hwy/highway.h>

#include <cstdint>

#include "render/kernel/chunks.h"
#include "render/kernel/lanes/escape_test-inl.h"
#include "render/kernel/lanes/lane_state-inl.h"
#include "render/kernel/lanes/untested-inl.h"
#include "render/kernel/tuning.h"

HWY_BEFORE_NAMESPACE();
namespace fractal::kernel_detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

static_assert(tuning::kBlock % tuning::kCycleCompareEvery == 0,
              "blocks hold whole groups of compared steps");

// The step numbered `step` in its block; every kCycleCompareEvery-th state (counts that are
// multiples of it, as checkpoints are taken at block ends) is compared with the checkpoint.
template <bool kUntested, class D>
HWY_INLINE void StepAndCompare(Lanes<D>& l, DoubleMask<D>& same, int step) {
  if (kUntested) {
    StepUntested(l);
  } else {
    Step(l);
  }
  if (step % tuning::kCycleCompareEvery != tuning::kCycleCompareEvery - 1) return;
  same = hn::Or(same, hn::And(hn::Eq(l.zr, l.checkpoint_r), hn::Eq(l.zi, l.checkpoint_i)));
}

// Where the window that opens at `count` closes: windows double up to kWindowFrom, and are a
// quarter of the count from there on. Brent's doubling windows find a repeat of period p as soon
// as any, once the checkpoint is on the cycle; but an orbit that reaches its cycle just after a
// checkpoint runs on for as long again before the next. Windows a quarter of the count long cut
// that to a quarter, and still find any period once the count passes 16p.
template <class VI>
HWY_INLINE VI NextCheckpoint(VI count) {
  const hn::DFromV<VI> di;
  const VI window =
      hn::Max(hn::ShiftRight<2>(count), hn::Min(count, hn::Set(di, tuning::kWindowFrom)));
  return hn::Add(count, window);
}

// Notes the block's last state as the window's closest return to the checkpoint if it is, in the
// lane state (kept out of the registers of blocks that do not track). When the window closes
// (`due`) with no proposal, the next one starts afresh; a proposal is read and cleared by the
// prover.
template <class D>
HWY_INLINE void TrackClosestReturn(const Lanes<D>& l, IntMask<D> due, const LaneLimits& limits,
                                   LaneState& s, int o) {
  const D d;
  const IntTag<D> di;
  Doubles<D> closest = hn::Load(d, s.closest + o);
  const Doubles<D> distance =
      hn::Max(hn::Abs(hn::Sub(l.zr, l.checkpoint_r)), hn::Abs(hn::Sub(l.zi, l.checkpoint_i)));
  const DoubleMask<D> closer = hn::Lt(distance, closest);
  closest = hn::IfThenElse(closer, distance, closest);
  const Ints<D> steps = hn::Sub(l.count, hn::Load(di, s.checkpoint_from + o));
  const Ints<D> closest_steps = hn::Load(di, s.closest_steps + o);
  hn::Store(hn::IfThenElse(hn::RebindMask(di, closer), steps, closest_steps), di,
            s.closest_steps + o);
  const auto past_first = hn::Gt(l.count, hn::Set(di, limits.propose_from));
  const DoubleMask<D> keep =
      hn::And(hn::Lt(closest, hn::Set(d, tuning::kProposeBelow)), hn::RebindMask(d, past_first));
  closest = hn::IfThenElse(hn::AndNot(keep, hn::RebindMask(d, due)), hn::Set(d, kFar), closest);
  hn::Store(closest, d, s.closest + o);
}

// The end of a checked block for one vector: a lane that is still running saw a repeat at some
// step of the block only if it was running at every step of it, so the repeat counts, and the
// lane's count becomes the cap. Lanes whose window closed take a new checkpoint.
template <bool kTrack, class D>
HWY_INLINE void EndCheckedBlock(Lanes<D>& l, DoubleMask<D> same, const LaneLimits& limits,
                                LaneState& s, int o) {
  const D d;
  const IntTag<D> di;
  const auto periodic = hn::RebindMask(di, hn::And(same, l.running));
  hn::BlendedStore(l.count, periodic, di, s.decided_at + o);
  l.count = hn::IfThenElse(periodic, hn::Set(di, limits.cap), l.count);
  const auto due = hn::And(hn::RebindMask(di, l.running),
                           hn::Gt(l.count, hn::Sub(l.checkpoint_at, hn::Set(di, 1))));
  if (kTrack) TrackClosestReturn(l, due, limits, s, o);
  l.checkpoint_r = hn::IfThenElse(hn::RebindMask(d, due), l.zr, l.checkpoint_r);
  l.checkpoint_i = hn::IfThenElse(hn::RebindMask(d, due), l.zi, l.checkpoint_i);
  // Only deep views, where lanes propose, have orbits long enough to gain from windows a quarter
  // of the count: elsewhere the windows double, which costs fewer operations.
  if (limits.propose_from < limits.cap) {
    l.checkpoint_at = hn::IfThenElse(due, NextCheckpoint(l.count), l.checkpoint_at);
    hn::BlendedStore(l.count, due, di, s.checkpoint_from + o);
  } else {
    l.checkpoint_at =
        hn::IfThenElse(due, hn::Add(l.checkpoint_at, l.checkpoint_at), l.checkpoint_at);
  }
}

// A block that compares states with the checkpoints; one that tracks returns is kTrackedBlocks
// blocks long, and runs without escape tests if kUntested.
template <bool kTrack, bool kUntested, class D, int V, int kLead>
HWY_INLINE void CheckedBlock(Lanes<D> (&lanes)[V], const LaneLimits& limits, LaneState& s) {
  const D d;
  DoubleMask<D> same[V];
  HWY_UNROLL(4)
  for (int v = 0; v < V; ++v) same[v] = hn::FirstN(d, 0);
  if (kUntested) BeginUntestedBlock(lanes, s);
  constexpr int kSteps = kTrack ? tuning::kBlock * tuning::kTrackedBlocks : tuning::kBlock;
  // In groups of kCycleCompareEvery steps (of the first vector, kLead times as many), unrolled:
  // the compared states then sit at places fixed at compile time, with no index arithmetic at
  // run time (full lanes ran 2-3 % faster at dives 20 to 26).
  for (int group = 0; group < kSteps / tuning::kCycleCompareEvery; ++group) {
    HWY_UNROLL(4)
    for (int i = 0; i < tuning::kCycleCompareEvery; ++i) {
      HWY_UNROLL(4)
      for (int k = 0; k < kLead; ++k) StepAndCompare<kUntested>(lanes[0], same[0], i * kLead + k);
      HWY_UNROLL(4)
      for (int v = 1; v < V; ++v) StepAndCompare<kUntested>(lanes[v], same[v], i);
    }
  }
  if (kUntested) SettleBlock<D, V, kLead>(lanes, s, kSteps);
  HWY_UNROLL(4)
  for (int v = 0; v < V; ++v)
    EndCheckedBlock<kTrack>(lanes[v], same[v], limits, s, v * kLanesOf<D>);
}

// The running lanes among `held` that propose their closest return: as a window closes (its
// checkpoint was taken at this count), once past propose_from (which is past the first window,
// whose checkpoint z = 0 is rarely on the orbit's way back), a return nearer than kProposeBelow.
template <class D>
HWY_INLINE DoubleMask<D> Proposals(const Lanes<D>& l, DoubleMask<D> held, DoubleMask<D> done,
                                   const LaneLimits& limits, const LaneState& s, int o) {
  const D d;
  const IntTag<D> di;
  const auto moment = hn::And(hn::Eq(hn::Load(di, s.checkpoint_from + o), l.count),
                              hn::Gt(l.count, hn::Set(di, limits.propose_from)));
  const auto near = hn::Lt(hn::Load(d, s.closest + o), hn::Set(d, tuning::kProposeBelow));
  return hn::AndNot(done, hn::And(hn::And(held, near), hn::RebindMask(d, moment)));
}

// The running lanes among `held` whose Taylor trap is due again: their count has reached the one
// the last attempt predicted (proof/side_prover-inl.h), which may fall anywhere in a window.
template <class D>
HWY_INLINE DoubleMask<D> TrapsDue(const Lanes<D>& l, DoubleMask<D> held, DoubleMask<D> done,
                                  const LaneState& s, int o) {
  const D d;
  const IntTag<D> di;
  const Ints<D> from = hn::Load(di, s.trap_from + o);
  const auto due =
      hn::And(hn::Gt(from, hn::Zero(di)), hn::Gt(l.count, hn::Sub(from, hn::Set(di, 1))));
  return hn::AndNot(done, hn::And(held, hn::RebindMask(d, due)));
}

}  // namespace HWY_NAMESPACE
}  // namespace fractal::kernel_detail
HWY_AFTER_NAMESPACE();

#endif  // per-target include guard
