// The kernel's vector body, written once on Highway's portable vectors. body.cpp compiles it
// once per instruction set; each copy lives in that target's namespace.
//
// The lane scheduler keeps each lane busy with a point of the rows, retires a point when it
// escapes, reaches the cap or is found periodic, and hands its lane to the next point. Up to
// kMaxVectors vectors run interleaved, so that one orbit's latency hides behind the others'.
// The orbits that have run longest lead, taking several steps for each step of the others, so
// that an orbit that runs far longer than the rest does not hold up the end of the drawing.
// The last few lanes of a dry feed run on two-lane vectors instead: a few orbits run no faster
// in wide vectors, whose clock is lower on some processors (a lone orbit at dive 26 took 1.13 s
// in 512-bit vectors, 0.84 s in 128-bit ones).
// Lanes iterate in blocks of kBlock iterations (longer ones where they track returns); a run
// returns after the first block at whose end some lane is finished, or after kMaxBlocksPerRun
// blocks, so that an abandoned feed is noticed soon. Counting is exact under this schedule: a
// lane's count stops at the first failed escape test (the running mask is sticky, so the NaNs of an
// escaped orbit cannot revive it), and a count that ran past the cap within a block is read as the
// cap. Blocks that track returns leave the escape test out of their steps and test only their
// last state (SettleBlock): there orbits are long, and the test and count were a third of a
// step's operations.
//
// Cycle detection is exact too: when the state of a lane that has passed every escape test so
// far equals one of its earlier states, the orbit is periodic through states that all passed,
// so it never escapes and its count is the cap. Checkpoints (the state at counts
// limits.cycle_check_from, twice that, four times, ..., taken at block ends; on deep views, a
// quarter of the count apart from kWindowFrom on) are compared with later states, in the manner
// of Brent; the comparisons only run once some lane has iterated cycle_check_from times, because
// on views with few interior points they cost more than they save.
//
// Lanes also look for interior proofs, which come much earlier than an exact repeat deep in the
// set. At the end of each checked block a lane notes how close its state came back to the
// checkpoint; as the window between checkpoints closes, a lane whose closest return was near
// enough proposes it: the run returns, and the scheduler hands the prover the lane's state, the
// return's distance and the steps it took (interior_proof.h).
//
// Every product and sum is its own IEEE operation in EscapeCount's order: never MulAdd, and the
// build's -ffp-contract=off keeps the compiler from fusing them either.

// Highway's per-target include guard: this file is included once for each target.
#if defined(FRACTAL_RENDER_KERNEL_LANES_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef FRACTAL_RENDER_KERNEL_LANES_INL_H_
#undef FRACTAL_RENDER_KERNEL_LANES_INL_H_
#else
#define FRACTAL_RENDER_KERNEL_LANES_INL_H_
#endif

#include <hwy/highway.h>

#include <algorithm>
#include <cstdint>
#include <limits>

#include "render/kernel/chunks.h"
#include "render/kernel/escape_time.h"

HWY_BEFORE_NAMESPACE();
namespace fractal::kernel_detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using DF = hn::ScalableTag<double>;
using DI = hn::RebindToSigned<DF>;
using VF = hn::Vec<DF>;
using VI = hn::Vec<DI>;
using MF = hn::Mask<DF>;

constexpr int kLanes = static_cast<int>(hn::MaxLanes(DF()));
constexpr int kMaxVectors = 4;
// Narrow vectors: two lanes, or one on the one-lane target.
using DN = hn::CappedTag<double, 2>;
constexpr int kNarrowLanes = static_cast<int>(hn::MaxLanes(DN()));
constexpr int kSlots = kLanes * kMaxVectors;
// A fixed group runs two vectors; one-lane vectors need four orbits to hide their latency.
constexpr int kGroupVectors = kLanes == 1 ? 4 : 2;
constexpr int kGroup = kLanes * kGroupVectors;

constexpr int kBlock = 8;  // iterations between looks at the lanes
// Blocks that track returns (deep views only) are this many blocks long: there a look at the
// lanes costs most, and orbits rarely end, so a longer block wastes little. 16 steps drew dives
// 24 and 26 7-9 % faster than 8; 32 proved half as many points at dive 20, as returns are only
// seen at block ends.
constexpr int kTrackedBlocks = 2;
// Checkpoint windows double up to this count (see NextCheckpoint).
constexpr std::int64_t kWindowFrom = 1024;
// Only every fourth state is compared with the checkpoint (counts that are multiples of 4, as
// checkpoints are taken at multiples of kBlock): a cycle of period p is still found, once the
// window between checkpoints exceeds 4p, and the comparisons cost a quarter.
constexpr int kCycleCompareEvery = 4;
// About a tenth of a millisecond of iterations on four vectors.
constexpr std::int64_t kMaxBlocksPerRun = 1 << 12;
// A closest return this near the checkpoint is proposed for an interior proof.
constexpr double kProposeBelow = 1e-2;
constexpr double kFar = std::numeric_limits<double>::infinity();  // no return yet
// Blocks a proposal may wait before its run returns; the prover then starts from the lane's
// state at the return, a little further along the same orbit.
constexpr std::int64_t kProposalWait = 16;

// The lanes of the longest orbits so far lead: they take the first vector, which runs this many
// steps for each step of the others. A run on several vectors waits on the core's arithmetic
// units, not on any one orbit's latency, so the leaders run about three times as fast and the
// lanes together as fast as before (at dive 22 and 26, 3 steps drew 6-7 % faster than 1, 4 a
// little less, 8 slower than 1: the registers run out).
constexpr int kLeadSteps = 3;
// In blocks without escape tests a step is 7 operations instead of 11, and the leaders' chain
// of dependent operations sets the pace: there 2 steps drew dives 20 to 24 10-16 % faster than 3.
constexpr int kLeadStepsUntested = 2;

static_assert(kSlots <= 64, "a run reports its finished lanes in 64 bits");
static_assert(kBlock % kCycleCompareEvery == 0, "blocks hold whole groups of compared steps");

// The lanes of up to kSlots points, laid out so that they load as vectors.
struct LaneState {
  alignas(64) double zr[kSlots];
  alignas(64) double zi[kSlots];
  alignas(64) double cr[kSlots];
  alignas(64) double ci[kSlots];
  alignas(64) double checkpoint_r[kSlots];
  alignas(64) double checkpoint_i[kSlots];
  alignas(64) std::int64_t count[kSlots];            // escape tests passed; the cap once periodic
  alignas(64) std::int64_t checkpoint_at[kSlots];    // count at which the next checkpoint is taken
  alignas(64) std::int64_t checkpoint_from[kSlots];  // count at which the checkpoint was taken
  alignas(64) std::int64_t running[kSlots];        // -1 while every escape test has passed, else 0
  alignas(64) std::int64_t decided_at[kSlots];     // count when a cycle or proof decided, else 0
  alignas(64) double closest[kSlots];              // closest return to the checkpoint this window
  alignas(64) std::int64_t closest_steps[kSlots];  // its steps from the checkpoint
  alignas(64) double block_zr[kSlots];             // the state where an untested block began
  alignas(64) double block_zi[kSlots];
  std::uint64_t tested = 0;          // bit i: lane i steps with tests (c not below kUntestedBelow)
  std::int64_t proof_steps[kSlots];  // steps proofs have run for the lane's point
  std::int64_t point[kSlots];        // index in its chunk, -1 for an idle lane
  PointChunk* chunk[kSlots];         // nullptr for an idle lane
};

struct RunResult {
  std::int64_t blocks = 0;       // kBlock iterations run, a tracked block counting as several
  std::uint64_t lane_steps = 0;  // iterations of the lanes below `live`, finished or not
  std::uint64_t finished = 0;    // bit i: lane i is finished
  std::uint64_t proposed = 0;    // bit i: lane i proposes its closest return for a proof
};

// Counts the lanes in `lanes` (bit i: lane o + i) again from the state where their untested
// block began, with the plain loop, `steps` steps at most.
HWY_NOINLINE inline void Recount(LaneState& s, int o, std::uint64_t lanes, int steps) {
  for (; lanes != 0; lanes &= lanes - 1) {
    const int lane = o + __builtin_ctzll(lanes);
    s.count[lane] +=
        EscapeCountFrom(s.block_zr[lane], s.block_zi[lane], s.cr[lane], s.ci[lane], steps);
  }
}

// The vector body on vectors of D: full vectors (DF), or narrow ones (DN) for the last few lanes
// of a dry feed.
template <class D>
struct LaneRuns {
  using DF = D;
  using DI = hn::RebindToSigned<D>;
  using VF = hn::Vec<DF>;
  using VI = hn::Vec<DI>;
  using MF = hn::Mask<DF>;
  static constexpr int kLanes = static_cast<int>(hn::MaxLanes(D()));

  // One vector's lanes, held in registers for a run.
  struct Lanes {
    // Written out, so that it is compiled for this target like the code around it: an implicit
    // constructor is not, and some compilers then refuse to inline the vectors' own (arm64 GCC).
    HWY_ATTR Lanes() {}
    VF zr, zi, cr, ci, checkpoint_r, checkpoint_i;
    VI count, checkpoint_at;
    MF running;
  };

  static HWY_INLINE Lanes LoadLanes(const LaneState& s, int o) {
    const DF df;
    const DI di;
    Lanes l;
    l.zr = hn::Load(df, s.zr + o);
    l.zi = hn::Load(df, s.zi + o);
    l.cr = hn::Load(df, s.cr + o);
    l.ci = hn::Load(df, s.ci + o);
    l.checkpoint_r = hn::Load(df, s.checkpoint_r + o);
    l.checkpoint_i = hn::Load(df, s.checkpoint_i + o);
    l.count = hn::Load(di, s.count + o);
    l.checkpoint_at = hn::Load(di, s.checkpoint_at + o);
    l.running = hn::RebindMask(df, hn::MaskFromVec(hn::Load(di, s.running + o)));
    return l;
  }

  static HWY_INLINE void StoreLanes(const Lanes& l, LaneState& s, int o) {
    const DF df;
    const DI di;
    hn::Store(l.zr, df, s.zr + o);
    hn::Store(l.zi, df, s.zi + o);
    hn::Store(l.checkpoint_r, df, s.checkpoint_r + o);
    hn::Store(l.checkpoint_i, df, s.checkpoint_i + o);
    hn::Store(l.count, di, s.count + o);
    hn::Store(l.checkpoint_at, di, s.checkpoint_at + o);
    hn::Store(hn::VecFromMask(di, hn::RebindMask(di, l.running)), di, s.running + o);
  }

  // Adds one to the count of every lane in `m`. The one place where targets differ: a target with
  // mask registers adds under the mask; elsewhere a mask is a vector of all-ones lanes (-1), which
  // is subtracted. Both give the same counts; each is one instruction on its own targets.
  static HWY_INLINE VI CountIf(hn::Mask<DI> m, VI count) {
    const DI di;
#if HWY_TARGET <= HWY_AVX3 && HWY_ARCH_X86
    return hn::IfThenElse(m, hn::Add(count, hn::Set(di, 1)), count);
#else
    return hn::Sub(count, hn::VecFromMask(di, m));
#endif
  }

  // One iteration of one vector, in EscapeCount's order. z is updated whether or not a lane is
  // still running; only the count stops.
  static HWY_INLINE void Step(Lanes& l) {
    const DF df;
    const DI di;
    const VF zr2 = hn::Mul(l.zr, l.zr);
    const VF zi2 = hn::Mul(l.zi, l.zi);
    // !(zr2 + zi2 >= 4): true for NaN, exactly as the plain test lets NaN through.
    l.running = hn::AndNot(hn::Ge(hn::Add(zr2, zi2), hn::Set(df, 4.0)), l.running);
    l.count = CountIf(hn::RebindMask(di, l.running), l.count);
    Advance(l, zr2, zi2);
  }

  // One iteration with no escape test and no count (see SettleBlock).
  static HWY_INLINE void StepUntested(Lanes& l) {
    Advance(l, hn::Mul(l.zr, l.zr), hn::Mul(l.zi, l.zi));
  }

  static HWY_INLINE void Advance(Lanes& l, VF zr2, VF zi2) {
    const DF df;
    const VF t = hn::Add(hn::Sub(zr2, zi2), l.cr);
    l.zi = hn::Add(l.ci, hn::Mul(hn::Mul(hn::Set(df, 2.0), l.zr), l.zi));
    l.zr = t;
  }

  // The first vector takes kLead steps for each step of the others (see RunVectors).
  template <int V, int kLead>
  static HWY_INLINE void PlainBlock(Lanes (&lanes)[V]) {
    HWY_UNROLL(8)
    for (int i = 0; i < kBlock; ++i) {
      HWY_UNROLL(4)
      for (int k = 0; k < kLead; ++k) Step(lanes[0]);
      HWY_UNROLL(4)
      for (int v = 1; v < V; ++v) Step(lanes[v]);
    }
  }

  // Notes the block's last state as the window's closest return to the checkpoint if it is, in
  // the lane state (kept out of the registers of blocks that do not track). When the window
  // closes (`due`) with no proposal, the next one starts afresh; a proposal is read and cleared
  // by the scheduler.
  static HWY_INLINE void TrackClosestReturn(const Lanes& l, hn::Mask<DI> due,
                                            const LaneLimits& limits, LaneState& s, int o) {
    const DF df;
    const DI di;
    VF closest = hn::Load(df, s.closest + o);
    const VF distance =
        hn::Max(hn::Abs(hn::Sub(l.zr, l.checkpoint_r)), hn::Abs(hn::Sub(l.zi, l.checkpoint_i)));
    const MF closer = hn::Lt(distance, closest);
    closest = hn::IfThenElse(closer, distance, closest);
    const VI steps = hn::Sub(l.count, hn::Load(di, s.checkpoint_from + o));
    const VI closest_steps = hn::Load(di, s.closest_steps + o);
    hn::Store(hn::IfThenElse(hn::RebindMask(di, closer), steps, closest_steps), di,
              s.closest_steps + o);
    const auto past_first = hn::Gt(l.count, hn::Set(di, limits.propose_from));
    const MF keep =
        hn::And(hn::Lt(closest, hn::Set(df, kProposeBelow)), hn::RebindMask(df, past_first));
    closest = hn::IfThenElse(hn::AndNot(keep, hn::RebindMask(df, due)), hn::Set(df, kFar), closest);
    hn::Store(closest, df, s.closest + o);
  }

  // The step numbered `step` in its block; every kCycleCompareEvery-th state is compared with
  // the checkpoint.
  template <bool kUntested>
  static HWY_INLINE void StepAndCompare(Lanes& l, MF& same, int step) {
    if (kUntested) {
      StepUntested(l);
    } else {
      Step(l);
    }
    if (step % kCycleCompareEvery != kCycleCompareEvery - 1) return;
    same = hn::Or(same, hn::And(hn::Eq(l.zr, l.checkpoint_r), hn::Eq(l.zi, l.checkpoint_i)));
  }

  // Where the window that opens at `count` closes: windows double up to kWindowFrom, and are a
  // quarter of the count from there on. Brent's doubling windows find a repeat of period p as
  // soon as any, once the checkpoint is on the cycle; but an orbit that reaches its cycle just
  // after a checkpoint runs on for as long again before the next. Windows a quarter of the count
  // long cut that to a quarter, and still find any period once the count passes 16p.
  static HWY_INLINE VI NextCheckpoint(VI count) {
    const DI di;
    const VI window = hn::Max(hn::ShiftRight<2>(count), hn::Min(count, hn::Set(di, kWindowFrom)));
    return hn::Add(count, window);
  }

  // A block that compares states with the checkpoints. Any equality within the block counts if
  // the lane is still running at its end: then it was running at every step of the block.
  template <bool kTrack, bool kUntested, int V, int kLead>
  static HWY_INLINE void CheckedBlock(Lanes (&lanes)[V], const LaneLimits& limits, LaneState& s) {
    const DF df;
    const DI di;
    MF same[V];
    HWY_UNROLL(4)
    for (int v = 0; v < V; ++v) {
      same[v] = hn::FirstN(df, 0);
      if (!kUntested) continue;
      hn::Store(lanes[v].zr, df, s.block_zr + v * kLanes);
      hn::Store(lanes[v].zi, df, s.block_zi + v * kLanes);
    }
    constexpr int kSteps = kTrack ? kBlock * kTrackedBlocks : kBlock;
    // In groups of kCycleCompareEvery steps (of the lead, kLead times as many), unrolled: the
    // compared states then sit at places fixed at compile time, with no index arithmetic at run
    // time (full lanes ran 2-3 % faster at dives 20 to 26).
    for (int group = 0; group < kSteps / kCycleCompareEvery; ++group) {
      HWY_UNROLL(4)
      for (int i = 0; i < kCycleCompareEvery; ++i) {
        HWY_UNROLL(4)
        for (int k = 0; k < kLead; ++k) {
          StepAndCompare<kUntested>(lanes[0], same[0], i * kLead + k);
        }
        HWY_UNROLL(4)
        for (int v = 1; v < V; ++v) StepAndCompare<kUntested>(lanes[v], same[v], i);
      }
    }
    if (kUntested) SettleBlock<V, kLead>(lanes, s, kSteps);
    const VI cap = hn::Set(di, limits.cap);
    HWY_UNROLL(4)
    for (int v = 0; v < V; ++v) {
      Lanes& l = lanes[v];
      const auto periodic = hn::RebindMask(di, hn::And(same[v], l.running));
      hn::BlendedStore(l.count, periodic, di, s.decided_at + v * kLanes);
      l.count = hn::IfThenElse(periodic, cap, l.count);
      const auto due = hn::And(hn::RebindMask(di, l.running),
                               hn::Gt(l.count, hn::Sub(l.checkpoint_at, hn::Set(di, 1))));
      if (kTrack) TrackClosestReturn(l, due, limits, s, v * kLanes);
      l.checkpoint_r = hn::IfThenElse(hn::RebindMask(df, due), l.zr, l.checkpoint_r);
      l.checkpoint_i = hn::IfThenElse(hn::RebindMask(df, due), l.zi, l.checkpoint_i);
      // Only deep views, where lanes propose, have orbits long enough to gain from windows a
      // quarter of the count: elsewhere the windows double, which costs fewer operations.
      if (limits.propose_from < limits.cap) {
        l.checkpoint_at = hn::IfThenElse(due, NextCheckpoint(l.count), l.checkpoint_at);
        hn::BlendedStore(l.count, due, di, s.checkpoint_from + v * kLanes);
      } else {
        l.checkpoint_at =
            hn::IfThenElse(due, hn::Add(l.checkpoint_at, l.checkpoint_at), l.checkpoint_at);
      }
    }
  }

  // Counts a block of `steps` steps (the lead's kLead times as many) that ran without escape
  // tests. Once a state fails the test, every later one fails it too or is infinite or NaN, as
  // long as |c| < 2 (less a few units of rounding, which kUntestedBelow leaves by far): then
  // |z| >= 2 > |c|, so |z^2 + c| >= 4 - |c| > 2. So a lane whose last state passes passed at
  // every step, and counts them all; a lane whose last state fails (or is NaN) finished within
  // the block or at its next test, and is counted again from the block's first state.
  template <int V, int kLead>
  static HWY_INLINE void SettleBlock(Lanes (&lanes)[V], LaneState& s, int steps) {
    const DF df;
    const DI di;
    HWY_UNROLL(4)
    for (int v = 0; v < V; ++v) {
      Lanes& l = lanes[v];
      const VF size = hn::Add(hn::Mul(l.zr, l.zr), hn::Mul(l.zi, l.zi));
      const MF out = hn::AndNot(hn::Lt(size, hn::Set(df, 4.0)), l.running);
      const int n = v == 0 ? steps * kLead : steps;
      l.count = hn::IfThenElse(hn::RebindMask(di, hn::AndNot(out, l.running)),
                               hn::Add(l.count, hn::Set(di, n)), l.count);
      if (HWY_LIKELY(hn::AllFalse(df, out))) continue;
      hn::Store(l.count, di, s.count + v * kLanes);
      Recount(s, v * kLanes, MaskBits(out), n);
      l.count = hn::Load(di, s.count + v * kLanes);
      l.running = hn::AndNot(out, l.running);
    }
  }

  // Whether some running lane has iterated `from` times.
  template <int V>
  static HWY_INLINE bool SomeLaneFrom(const Lanes (&lanes)[V], std::int64_t from) {
    const DI di;
    const VI below_check = hn::Set(di, from - 1);
    auto due = hn::FirstN(di, 0);
    HWY_UNROLL(4)
    for (int v = 0; v < V; ++v) {
      due = hn::Or(
          due, hn::And(hn::RebindMask(di, lanes[v].running), hn::Gt(lanes[v].count, below_check)));
    }
    return !hn::AllFalse(di, due);
  }

  static HWY_INLINE std::uint64_t MaskBits(MF m) {
    std::uint8_t bits[8] = {};
    hn::StoreMaskBits(DF(), m, bits);
    return bits[0];
  }

  // The finished lanes (escaped, or at the cap) among the `held` ones, and the running ones that
  // propose a return: as a window closes, once past propose_from (which is past the first
  // window, whose checkpoint z = 0 is rarely on the orbit's way back), a close return in it.
  template <bool kTrack, int V>
  static HWY_INLINE void FinishedLanes(const Lanes (&lanes)[V], const MF (&held)[V],
                                       const LaneLimits& limits, const LaneState& s,
                                       RunResult& result) {
    const DF df;
    const DI di;
    const VI below_cap = hn::Set(di, limits.cap - 1);
    const VI propose_from = hn::Set(di, limits.propose_from);
    const VF near = hn::Set(df, kProposeBelow);
    HWY_UNROLL(4)
    for (int v = 0; v < V; ++v) {
      const Lanes& l = lanes[v];
      const MF capped = hn::RebindMask(df, hn::Gt(l.count, below_cap));
      const MF done = hn::And(held[v], hn::Or(hn::Not(l.running), capped));
      result.finished |= MaskBits(done) << (v * kLanes);
      if (!kTrack) continue;
      // The block whose end closed a window: its checkpoint was taken at this count.
      const auto moment = hn::And(hn::Eq(hn::Load(di, s.checkpoint_from + v * kLanes), l.count),
                                  hn::Gt(l.count, propose_from));
      const MF proposes = hn::AndNot(
          done, hn::And(hn::And(held[v], hn::Lt(hn::Load(df, s.closest + v * kLanes), near)),
                        hn::RebindMask(df, moment)));
      result.proposed |= MaskBits(proposes) << (v * kLanes);
    }
  }

  // Blocks that track returns run untested if `untested`.
  template <int V, int kLead>
  static RunResult RunVectors(LaneState& s, const LaneLimits& limits, int live, bool untested) {
    const DF df;
    Lanes lanes[V];
    MF held[V];  // the lanes below `live`
    HWY_UNROLL(4)
    for (int v = 0; v < V; ++v) {
      lanes[v] = LoadLanes(s, v * kLanes);
      const int in_vector = live - v * kLanes;
      held[v] = hn::FirstN(df, in_vector < 0 ? 0 : static_cast<std::size_t>(in_vector));
    }
    RunResult result;
    // A proposal waits a few blocks for others, so that proposals do not end a run each.
    std::int64_t proposals_due = kMaxBlocksPerRun;
    while (result.finished == 0 && result.blocks < proposals_due) {
      // Closest returns are tracked once some lane may propose: a proposal then holds the
      // closest return since the tracking began, or in the window that closed last.
      const bool track = SomeLaneFrom(lanes, limits.propose_from);
      if (track) {
        if (untested) {
          CheckedBlock<true, true, V, kLead>(lanes, limits, s);
        } else {
          CheckedBlock<true, false, V, kLead>(lanes, limits, s);
        }
        result.blocks += kTrackedBlocks - 1;
      } else if (SomeLaneFrom(lanes, limits.cycle_check_from)) {
        CheckedBlock<false, false, V, kLead>(lanes, limits, s);
      } else {
        PlainBlock<V, kLead>(lanes);
      }
      ++result.blocks;
      if (track) {
        FinishedLanes<true, V>(lanes, held, limits, s, result);
      } else {
        FinishedLanes<false, V>(lanes, held, limits, s, result);
      }
      if (result.proposed != 0 && proposals_due == kMaxBlocksPerRun) {
        proposals_due = std::min(kMaxBlocksPerRun, result.blocks + kProposalWait);
      }
    }
    HWY_UNROLL(4)
    for (int v = 0; v < V; ++v) StoreLanes(lanes[v], s, v * kLanes);
    const int leading = live < kLanes ? live : kLanes;
    result.lane_steps = static_cast<std::uint64_t>(result.blocks) * kBlock *
                        static_cast<std::uint64_t>(live + (kLead - 1) * leading);
    return result;
  }
};

// Iterates the first `live` lanes of vectors of D on as few vectors as hold them, the first
// vector taking kLead steps for each of the others'.
template <class D, int kLead>
RunResult RunOn(LaneState& s, const LaneLimits& limits, int live, bool untested) {
  constexpr int kLanesOfD = static_cast<int>(hn::MaxLanes(D()));
  switch ((live + kLanesOfD - 1) / kLanesOfD) {
    case 1:
      return LaneRuns<D>::template RunVectors<1, 1>(s, limits, live, untested);
    case 2:
      return LaneRuns<D>::template RunVectors<2, kLead>(s, limits, live, untested);
    case 3:
      return LaneRuns<D>::template RunVectors<3, kLead>(s, limits, live, untested);
    default:
      return LaneRuns<D>::template RunVectors<4, kLead>(s, limits, live, untested);
  }
}

// Whether the first `live` lanes may step without escape tests: they track returns, and every
// c among them is below kUntestedBelow.
inline bool MayRunUntested(const LaneState& s, const LaneLimits& limits, int live) {
  const std::uint64_t held = live >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << live) - 1;
  return limits.propose_from < limits.cap && (s.tested & held) == 0;
}

// Iterates the first `live` lanes: on narrow vectors once the feed is dry and two of them hold
// the lanes left; else on full vectors, the first of them leading if `lead`.
inline RunResult Run(LaneState& s, const LaneLimits& limits, int live, bool dry, bool lead) {
  const bool untested = MayRunUntested(s, limits, live);
  if (kNarrowLanes < kLanes && dry && live <= kNarrowLanes * 2) {
    return RunOn<DN, 1>(s, limits, live, untested);
  }
  if (!lead) return RunOn<DF, 1>(s, limits, live, untested);
  return untested ? RunOn<DF, kLeadStepsUntested>(s, limits, live, true)
                  : RunOn<DF, kLeadSteps>(s, limits, live, false);
}

}  // namespace HWY_NAMESPACE
}  // namespace fractal::kernel_detail
HWY_AFTER_NAMESPACE();

#endif  // per-target include guard
