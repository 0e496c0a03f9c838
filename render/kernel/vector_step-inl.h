// The vector types of the engine's body and the orbit step on vectors, which the lanes and the
// prover both take: EscapeCount's step (StepOrbit in escape_time.h), lane by lane. Compiled once
// per target with the rest of the body (body.cpp).
//
// Every product and sum is its own IEEE operation in StepOrbit's order: never MulAdd, and the
// build's -ffp-contract=off keeps the compiler from fusing them either.

// Highway's per-target include guard: this file is included once for each target.
#if defined(FRACTAL_RENDER_KERNEL_VECTOR_STEP_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef FRACTAL_RENDER_KERNEL_VECTOR_STEP_INL_H_
#undef FRACTAL_RENDER_KERNEL_VECTOR_STEP_INL_H_
#else
#define FRACTAL_RENDER_KERNEL_VECTOR_STEP_INL_H_
#endif

#include <hwy/highway.h>

#include <cstdint>

#include "render/kernel/tuning.h"

HWY_BEFORE_NAMESPACE();
namespace fractal::kernel_detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Full vectors, the widest this target has; and narrow ones, of two lanes (one on the one-lane
// target), for the last few orbits of a drawing.
using DF = hn::ScalableTag<double>;
using DN = hn::CappedTag<double, tuning::kNarrowVectorLanes>;

// The doubles of tag D, and the 64-bit integers and masks that go with them.
template <class D>
using IntTag = hn::RebindToSigned<D>;
template <class D>
using Doubles = hn::Vec<D>;
template <class D>
using Ints = hn::Vec<IntTag<D>>;
template <class D>
using DoubleMask = hn::Mask<D>;
template <class D>
using IntMask = hn::Mask<IntTag<D>>;

// Full vectors of doubles and of 64-bit integers.
using VF = Doubles<DF>;
using VI = Ints<DF>;

template <class D>
inline constexpr int kLanesOf = static_cast<int>(hn::MaxLanes(D()));
inline constexpr int kFullLanes = kLanesOf<DF>;

// One step z -> z^2 + c of every lane, as StepOrbit takes it; returns |z|^2 before the step.
template <class V>
HWY_INLINE V StepOrbit(V cr, V ci, V& zr, V& zi) {
  const hn::DFromV<V> d;
  const V r2 = hn::Mul(zr, zr);
  const V i2 = hn::Mul(zi, zi);
  const V t = hn::Add(hn::Sub(r2, i2), cr);
  zi = hn::Add(ci, hn::Mul(hn::Mul(hn::Set(d, 2.0), zr), zi));
  zr = t;
  return hn::Add(r2, i2);
}

// |z|^2 of every lane, as the escape test computes it.
template <class V>
HWY_INLINE V SquaredModulus(V zr, V zi) {
  return hn::Add(hn::Mul(zr, zr), hn::Mul(zi, zi));
}

// A mask's lanes as bits, lane i at bit i.
template <class D>
HWY_INLINE std::uint64_t MaskBits(D d, DoubleMask<D> m) {
  std::uint8_t bits[8] = {};
  hn::StoreMaskBits(d, m, bits);
  return bits[0];
}

}  // namespace HWY_NAMESPACE
}  // namespace fractal::kernel_detail
HWY_AFTER_NAMESPACE();

#endif  // per-target include guard
