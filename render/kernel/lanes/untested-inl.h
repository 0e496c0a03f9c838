// Blocks without escape tests. Deep in the set orbits are long, and the escape test and the count
// are a third of a step's operations; blocks that track returns (lanes/checkpoints-inl.h) leave
// them out of their steps and test only the block's last state.
//
// Why that count is exact: once a state fails the escape test, every later state fails it too or
// is infinite or NaN, as long as |c| < 2: then |z| >= 2 > |c|, so |z^2 + c| >= 4 - |c| > 2. The
// lanes take this only where |cr| + |ci| < kUntestedBelow, which leaves the few units of rounding
// in a computed step by far. So a lane whose last state passes passed at every step of the
// block, and counts them all; a lane whose last state fails (or is NaN) finished within the
// block, or at its next test, and is counted again from the block's first state by the plain
// loop.

// Highway's per-target include guard: this file is included once for each target.
#if defined(FRACTAL_RENDER_KERNEL_LANES_UNTESTED_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef FRACTAL_RENDER_KERNEL_LANES_UNTESTED_INL_H_
#undef FRACTAL_RENDER_KERNEL_LANES_UNTESTED_INL_H_
#else
#define FRACTAL_RENDER_KERNEL_LANES_UNTESTED_INL_H_
#endif

#include <hwy/highway.h>

#include <cmath>
#include <cstdint>

#include "render/kernel/chunks.h"
#include "render/kernel/escape_time.h"
#include "render/kernel/lanes/lane_state-inl.h"
#include "render/kernel/vector_step-inl.h"

HWY_BEFORE_NAMESPACE();
namespace fractal::kernel_detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Whether a lane whose point is c must step with escape tests.
inline bool NeedsTests(double cr, double ci) {
  return !(std::fabs(cr) + std::fabs(ci) < kUntestedBelow);
}

// Whether the first `live` lanes may step without escape tests: they track returns, and every
// one of them may.
inline bool MayRunUntested(const LaneState& s, const LaneLimits& limits, int live) {
  if (limits.propose_from >= limits.cap) return false;
  for (int lane = 0; lane < live; ++lane) {
    if (s.needs_tests[lane]) return false;
  }
  return true;
}

// Counts the lanes in `lanes` (bit i: lane o + i) again from the state where their untested
// block began, with the plain loop, `steps` steps at most.
HWY_NOINLINE inline void Recount(LaneState& s, int o, std::uint64_t lanes, int steps) {
  for (; lanes != 0; lanes &= lanes - 1) {
    const int lane = o + __builtin_ctzll(lanes);
    s.count[lane] +=
        EscapeCountFrom(s.block_zr[lane], s.block_zi[lane], s.cr[lane], s.ci[lane], steps);
  }
}

// Notes where an untested block begins, for Recount.
template <class D, int V>
HWY_INLINE void BeginUntestedBlock(const Lanes<D> (&lanes)[V], LaneState& s) {
  const D d;
  HWY_UNROLL(4)
  for (int v = 0; v < V; ++v) {
    hn::Store(lanes[v].zr, d, s.block_zr + v * kLanesOf<D>);
    hn::Store(lanes[v].zi, d, s.block_zi + v * kLanesOf<D>);
  }
}

// Counts a block of `steps` steps (the first vector's kLead times as many) that ran without escape
// tests.
template <class D, int V, int kLead>
HWY_INLINE void SettleBlock(Lanes<D> (&lanes)[V], LaneState& s, int steps) {
  const D d;
  const IntTag<D> di;
  HWY_UNROLL(4)
  for (int v = 0; v < V; ++v) {
    Lanes<D>& l = lanes[v];
    const int o = v * kLanesOf<D>;
    const DoubleMask<D> out =
        hn::AndNot(hn::Lt(SquaredModulus(l.zr, l.zi), hn::Set(d, 4.0)), l.running);
    const int n = v == 0 ? steps * kLead : steps;
    l.count = hn::IfThenElse(hn::RebindMask(di, hn::AndNot(out, l.running)),
                             hn::Add(l.count, hn::Set(di, n)), l.count);
    if (HWY_LIKELY(hn::AllFalse(d, out))) continue;
    hn::Store(l.count, di, s.count + o);
    Recount(s, o, MaskBits(d, out), n);
    l.count = hn::Load(di, s.count + o);
    l.running = hn::AndNot(out, l.running);
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace fractal::kernel_detail
HWY_AFTER_NAMESPACE();

#endif  // per-target include guard
