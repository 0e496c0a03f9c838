// The escape test and what a lane's count means.
//
// A lane's count is the escape tests its orbit has passed: EscapeCount's n. The test is
// !(|z|^2 >= 4), true for NaN exactly as the plain loop lets NaN through. Once a test fails the
// lane's running mask is cleared for good (it is sticky), so the NaNs and infinities of an
// escaped orbit, which the lane goes on iterating until the next look at the lanes, can neither
// revive it nor add to its count. A count that ran past the cap within a block is read as the cap.
// A lane decided by a cycle or a proof holds the cap as its count (lanes/checkpoints-inl.h,
// proof/side_prover-inl.h), and the count at which it was decided in decided_at.

// Highway's per-target include guard: this file is included once for each target.
#if defined(FRACTAL_RENDER_KERNEL_LANES_ESCAPE_TEST_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef FRACTAL_RENDER_KERNEL_LANES_ESCAPE_TEST_INL_H_
#undef FRACTAL_RENDER_KERNEL_LANES_ESCAPE_TEST_INL_H_
#else
#define FRACTAL_RENDER_KERNEL_LANES_ESCAPE_TEST_INL_H_
#endif

#include <hwy/highway.h>

#include "render/kernel/lanes/lane_state-inl.h"
#include "render/kernel/vector_step-inl.h"

HWY_BEFORE_NAMESPACE();
namespace fractal::kernel_detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Adds one to the count of every lane in `m`. The one place where targets differ: a target with
// mask registers adds under the mask; elsewhere a mask is a vector of all-ones lanes (-1), which
// is subtracted. Both give the same counts; each is one instruction on its own targets.
template <class D>
HWY_INLINE Ints<D> CountIf(IntMask<D> m, Ints<D> count) {
  const IntTag<D> di;
#if HWY_TARGET <= HWY_AVX3 && HWY_ARCH_X86
  return hn::IfThenElse(m, hn::Add(count, hn::Set(di, 1)), count);
#else
  return hn::Sub(count, hn::VecFromMask(di, m));
#endif
}

// One iteration of one vector with the escape test. z is updated whether or not a lane is still
// running; only the count stops.
template <class D>
HWY_INLINE void Step(Lanes<D>& l) {
  const D d;
  const Doubles<D> size = StepOrbit(l.cr, l.ci, l.zr, l.zi);
  l.running = hn::AndNot(hn::Ge(size, hn::Set(d, 4.0)), l.running);
  l.count = CountIf<D>(hn::RebindMask(IntTag<D>(), l.running), l.count);
}

// One iteration with no escape test and no count (lanes/untested-inl.h settles the block).
template <class D>
HWY_INLINE void StepUntested(Lanes<D>& l) {
  StepOrbit(l.cr, l.ci, l.zr, l.zi);
}

// Whether some running lane of the vectors has iterated `from` times.
template <class D, int V>
HWY_INLINE bool SomeLaneFrom(const Lanes<D> (&lanes)[V], std::int64_t from) {
  const IntTag<D> di;
  const Ints<D> below = hn::Set(di, from - 1);
  auto due = hn::FirstN(di, 0);
  HWY_UNROLL(4)
  for (int v = 0; v < V; ++v) {
    due = hn::Or(due, hn::And(hn::RebindMask(di, lanes[v].running), hn::Gt(lanes[v].count, below)));
  }
  return !hn::AllFalse(di, due);
}

}  // namespace HWY_NAMESPACE
}  // namespace fractal::kernel_detail
HWY_AFTER_NAMESPACE();

#endif  // per-target include guard
