// The interior prover on the side of the lanes, compiled per target with them: the proposals of
// several lanes proved together, so that their disk steps, each a chain of dependent roundings,
// overlap. Each proposal runs ProveInterior's attempts with the same operations in the same
// order (interior_proof.h), its radii as vectors: the outcome is the same on every target.

// Highway's per-target include guard: this file is included once for each target.
#if defined(FRACTAL_RENDER_KERNEL_PROVER_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef FRACTAL_RENDER_KERNEL_PROVER_INL_H_
#undef FRACTAL_RENDER_KERNEL_PROVER_INL_H_
#else
#define FRACTAL_RENDER_KERNEL_PROVER_INL_H_
#endif

#include <hwy/highway.h>

#include <array>
#include <cmath>
#include <cstdint>

#include "render/kernel/disk_bounds.h"
#include "render/kernel/interior_proof.h"

HWY_BEFORE_NAMESPACE();
namespace fractal::kernel_detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using DR = hn::CappedTag<double, kProofRadii>;
constexpr int kRadiusLanes = static_cast<int>(hn::MaxLanes(DR()));
constexpr int kRadiusVectors = kProofRadii / kRadiusLanes;
static_assert(kRadiusVectors * kRadiusLanes == kProofRadii, "radii fill whole vectors");

// Proposals proved together.
constexpr int kProofBatch = 4;

// One proposal on its way through its attempts.
struct ProofSlot {
  ProofCandidate candidate;  // its z: the start of the attempt under way
  double c_constant = 0;
  std::int64_t budget = 0;
  ProofOutcome outcome;
  std::int64_t attempt_steps = 0;
  int open_returns = 0;
  bool first_attempt = true;
  bool active = false;
  unsigned alive = 0;
  double zr = 0;
  double zi = 0;
  alignas(64) ProofRadii first;
  alignas(64) ProofRadii radius;
};

inline void StartAttempt(ProofSlot& slot, const ProofRadii& radii) {
  slot.first = slot.radius = radii;
  slot.alive = LiveRadii(radii);
  slot.zr = slot.candidate.z_real;
  slot.zi = slot.candidate.z_imag;
  slot.attempt_steps = 0;
  slot.open_returns = 0;
}

inline void StartProof(ProofSlot& slot, const ProofCandidate& candidate, std::int64_t budget) {
  slot.candidate = candidate;
  slot.c_constant = DiskConstantOfC(std::fabs(candidate.c_real) + std::fabs(candidate.c_imag));
  slot.budget = budget;
  slot.outcome = {};
  slot.first_attempt = true;
  slot.active = candidate.period >= 1 && budget > 0;
  if (slot.active) StartAttempt(slot, FirstRadii(candidate.distance));
}

// After an attempt that did not close: done, or the closer radii over the next steps.
inline void EndAttempt(ProofSlot& slot) {
  slot.outcome.steps += slot.attempt_steps;
  const double closest = ClosestRadius(slot.candidate.z_real, slot.candidate.z_imag, slot.zr,
                                       slot.zi, slot.first, slot.radius, slot.alive);
  if (!slot.first_attempt || closest == 0 || slot.outcome.steps >= slot.budget) {
    slot.active = false;
    return;
  }
  slot.first_attempt = false;
  slot.candidate.z_real = slot.zr;
  slot.candidate.z_imag = slot.zi;
  StartAttempt(slot, CloserRadii(closest));
}

// One disk step of a slot: the orbit's step, then every radius's; then whether the disks close.
HWY_INLINE void DiskStepOf(ProofSlot& slot) {
  const DR dr;
  if (slot.alive == 0) {  // radii that underflowed to zero
    EndAttempt(slot);
    return;
  }
  const double r2 = slot.zr * slot.zr;
  const double i2 = slot.zi * slot.zi;
  const double t = (r2 - i2) + slot.candidate.c_real;
  slot.zi = slot.candidate.c_imag + (2 * slot.zr) * slot.zi;
  slot.zr = t;
  const DiskStep step = DiskStepAt(r2 + i2, slot.c_constant);
  const auto quadratic = hn::Set(dr, step.quadratic);
  const auto linear = hn::Set(dr, step.linear);
  const auto constant = hn::Set(dr, step.constant);
  const auto limit = hn::Set(dr, step.radius_limit);
  const auto one = hn::Set(dr, 1.0);
  unsigned failed = 0;
  HWY_UNROLL(8)
  for (int v = 0; v < kRadiusVectors; ++v) {
    double* radius = slot.radius.data() + v * kRadiusLanes;
    const auto r = hn::Load(dr, radius);
    const auto next = hn::Add(hn::Mul(hn::Add(hn::Mul(quadratic, r), linear), r), constant);
    // A radius of 1 or more can never close again; stop carrying it.
    const auto fails = hn::Or(hn::Not(hn::Lt(r, limit)), hn::Not(hn::Lt(next, one)));
    std::uint8_t bits[8] = {};
    hn::StoreMaskBits(dr, fails, bits);
    failed |= static_cast<unsigned>(bits[0]) << (v * kRadiusLanes);
    hn::Store(next, dr, radius);
  }
  slot.alive &= ~failed;
  ++slot.attempt_steps;
  const Return back = ReturnOf(slot.candidate.z_real, slot.candidate.z_imag, slot.zr, slot.zi,
                               slot.first, slot.radius, slot.alive);
  if (back == Return::kClosed) {
    slot.outcome.steps += slot.attempt_steps;
    slot.outcome.proven = true;
    slot.active = false;
  } else if (slot.attempt_steps == slot.candidate.period || slot.alive == 0 ||
             (back == Return::kOpen && ++slot.open_returns == kOpenReturns)) {
    EndAttempt(slot);
  }
}

// Runs every slot's proof to its end, the slots' steps interleaved.
inline void ProveSlots(ProofSlot* slots, int count) {
  for (bool any = true; any;) {
    any = false;
    for (int k = 0; k < count; ++k) {
      if (!slots[k].active) continue;
      DiskStepOf(slots[k]);
      any = true;
    }
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace fractal::kernel_detail
HWY_AFTER_NAMESPACE();

#endif  // per-target include guard
