// The interior prover on the side of the lanes, compiled per target with them: the proposals of
// several lanes proved together, so that their disk steps, each a chain of dependent roundings,
// overlap. Each proposal runs ProveInterior's attempts with the same operations in the same
// order (proof/interior_proof.h), its radii as vectors: the outcome is the same on every target.

// Highway's per-target include guard: this file is included once for each target.
#if defined(FRACTAL_RENDER_KERNEL_PROOF_PROVER_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef FRACTAL_RENDER_KERNEL_PROOF_PROVER_INL_H_
#undef FRACTAL_RENDER_KERNEL_PROOF_PROVER_INL_H_
#else
#define FRACTAL_RENDER_KERNEL_PROOF_PROVER_INL_H_
#endif

#include <hwy/highway.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>

#include "render/kernel/escape_time.h"
#include "render/kernel/proof/disk_bounds.h"
#include "render/kernel/proof/interior_proof.h"
#include "render/kernel/vector_step-inl.h"

HWY_BEFORE_NAMESPACE();
namespace fractal::kernel_detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// The prover runs on full vectors, one attempt in each lane.
inline constexpr int kProverLanes = kFullLanes;

constexpr double kDead = std::numeric_limits<double>::infinity();  // a radius no longer carried

// One proposal on its way through its attempts: what the prover's lanes do not hold.
struct ProofSlot {
  ProofCandidate candidate;  // its z: the start of the attempt under way
  double c_constant = 0;
  std::int64_t budget = 0;
  ProofOutcome outcome;
  bool first_attempt = true;
  bool active = false;
  ProofRadii first;
};

inline void StartProof(ProofSlot& slot, const ProofCandidate& candidate, std::int64_t budget) {
  slot.candidate = candidate;
  slot.c_constant = DiskConstantOfC(std::fabs(candidate.c_real) + std::fabs(candidate.c_imag));
  slot.budget = budget;
  slot.outcome = {};
  slot.first_attempt = true;
  slot.active = candidate.period >= 1 && budget > 0;
  slot.first = FirstRadii(candidate.distance);
}

// The prover's lanes: one attempt each, its radii as vectors across the lanes. A radius no
// longer carried is kDead, which every later step keeps: (q inf + l) inf + c is inf.
struct ProverLanes {
  alignas(64) double cr[kProverLanes];
  alignas(64) double ci[kProverLanes];
  alignas(64) double zr[kProverLanes];
  alignas(64) double zi[kProverLanes];
  alignas(64) double start_r[kProverLanes];  // the attempt's first state
  alignas(64) double start_i[kProverLanes];
  alignas(64) double c_constant[kProverLanes];
  // The outermost radius still carried: its first value (0 if none), and its value now (the
  // largest carried, as radii keep their order through the steps).
  alignas(64) double outer_first[kProverLanes];
  alignas(64) double outer[kProverLanes];
  alignas(64) double first[kProofRadii][kProverLanes];
  alignas(64) double radius[kProofRadii][kProverLanes];
  alignas(64) std::int64_t steps[kProverLanes];
  alignas(64) std::int64_t period[kProverLanes];  // -1: an idle lane
  int slot[kProverLanes];                         // the slot a lane works for, -1 if idle
};

inline void StartAttempt(ProverLanes& p, int lane, const ProofSlot& slot) {
  p.cr[lane] = slot.candidate.c_real;
  p.ci[lane] = slot.candidate.c_imag;
  p.zr[lane] = p.start_r[lane] = slot.candidate.z_real;
  p.zi[lane] = p.start_i[lane] = slot.candidate.z_imag;
  p.c_constant[lane] = slot.c_constant;
  p.outer_first[lane] = p.outer[lane] = 0;
  for (int j = 0; j < kProofRadii; ++j) {
    const double r = slot.first[j];
    p.first[j][lane] = r;
    p.radius[j][lane] = r > 0 ? r : kDead;
    if (r > 0) p.outer_first[lane] = p.outer[lane] = r;  // first radii ascend
  }
  p.steps[lane] = 0;
  p.period[lane] = std::min(slot.candidate.period, slot.budget - slot.outcome.steps);
}

// Starts the slot's attempt on the lane; false if no radius is above zero, which ends the
// attempt, and with it the proof, before any step (as in ProveInterior).
inline bool BeginAttempt(ProverLanes& p, int lane, const ProofSlot& slot) {
  StartAttempt(p, lane, slot);
  return p.outer_first[lane] > 0;
}

inline void IdleLane(ProverLanes& p, int lane) {
  p.cr[lane] = p.ci[lane] = p.zr[lane] = p.zi[lane] = p.start_r[lane] = p.start_i[lane] = 0;
  p.c_constant[lane] = p.outer_first[lane] = p.outer[lane] = 0;
  for (int j = 0; j < kProofRadii; ++j) p.first[j][lane] = p.radius[j][lane] = kDead;
  p.steps[lane] = 0;
  p.period[lane] = -1;
  p.slot[lane] = -1;
}

// A lane's radii as the scalar prover holds them.
inline unsigned LaneRadii(const ProverLanes& p, int lane, ProofRadii& first, ProofRadii& last) {
  unsigned alive = 0;
  for (int j = 0; j < kProofRadii; ++j) {
    first[j] = p.first[j][lane];
    last[j] = p.radius[j][lane];
    alive |= last[j] != kDead ? 1u << j : 0u;
  }
  return alive;
}

// DiskStepAt on every lane: the same factors, the same operations in the same order.
struct LaneDiskStep {
  VF quadratic, linear, constant, radius_limit;
};

HWY_ATTR HWY_INLINE LaneDiskStep LaneDiskStepAt(VF s, VF c_constant) {
  using namespace disk_factors;
  const DF dp;
  const VF modulus =
      hn::Add(hn::Mul(hn::Sqrt(s), hn::Set(dp, kModulusUp)), hn::Set(dp, kModulusFloor));
  return {hn::Set(dp, kQuadratic), hn::Mul(modulus, hn::Set(dp, kLinear)),
          hn::Add(hn::Mul(s, hn::Set(dp, kSquare)), c_constant),
          hn::Mul(hn::Sub(hn::Set(dp, kEscapeLimit), modulus), hn::Set(dp, kLimitFactor))};
}

HWY_ATTR HWY_INLINE VF NextRadii(const LaneDiskStep& step, VF r) {
  return hn::Add(hn::Mul(hn::Add(hn::Mul(step.quadratic, r), step.linear), r), step.constant);
}

// Whether a radius r, stepped to `next`, fails: its disk reaches the escape test, or it has
// grown to 1 or more and can never close again.
HWY_ATTR HWY_INLINE DoubleMask<DF> RadiusFails(const LaneDiskStep& step, VF r, VF next) {
  const DF dp;
  return hn::Or(hn::Not(hn::Lt(r, step.radius_limit)), hn::Not(hn::Lt(next, hn::Set(dp, 1.0))));
}

// Steps the radii, stops carrying those that fail at this step, and finds each lane's outer_first
// and outer anew.
HWY_ATTR inline void StepAndDropFailedRadii(const ProverLanes& p, const LaneDiskStep& step,
                                            VF (&radius)[kProofRadii], VF& outer_first, VF& outer) {
  const DF dp;
  const VF dead = hn::Set(dp, kDead);
  outer_first = outer = hn::Zero(dp);
  for (int j = 0; j < kProofRadii; ++j) {
    const VF next = NextRadii(step, radius[j]);
    radius[j] = hn::IfThenElse(RadiusFails(step, radius[j], next), dead, next);
    const auto carried = hn::Ne(radius[j], dead);
    outer_first = hn::IfThenElse(carried, hn::Load(dp, p.first[j]), outer_first);
    outer = hn::IfThenElse(carried, radius[j], outer);
  }
}

// Steps every lane until some busy lane's attempt ends (its steps reach its period, or no
// radius is carried) or its orbit comes back within its largest radius, or `steps_left` runs
// out (an attempt may run for millions of steps); returns those lanes.
//
// Radii keep their order through the steps (every operation is monotone), and a failing radius
// makes every larger one fail with it. So only the outer radius, the largest carried, is checked
// at each step; the others only at a step where some lane's outer fails.
HWY_ATTR inline std::uint64_t StepProverLanes(ProverLanes& p, std::int64_t& steps_left) {
  const DF dp;
  const IntTag<DF> dpi;
  VF zr = hn::Load(dp, p.zr), zi = hn::Load(dp, p.zi);
  VF outer_first = hn::Load(dp, p.outer_first), outer = hn::Load(dp, p.outer);
  const VF cr = hn::Load(dp, p.cr), ci = hn::Load(dp, p.ci), cc = hn::Load(dp, p.c_constant);
  const VF start_r = hn::Load(dp, p.start_r), start_i = hn::Load(dp, p.start_i);
  const VI period = hn::Load(dpi, p.period);
  VI steps = hn::Load(dpi, p.steps);
  VF radius[kProofRadii];
  HWY_UNROLL(8)
  for (int j = 0; j < kProofRadii; ++j) radius[j] = hn::Load(dp, p.radius[j]);
  const auto busy = hn::RebindMask(dp, hn::Gt(period, hn::Set(dpi, -1)));
  DoubleMask<DF> events;
  do {
    const LaneDiskStep step = LaneDiskStepAt(StepOrbit(cr, ci, zr, zi), cc);
    const VF outer_next = NextRadii(step, outer);
    if (hn::AllFalse(dp, hn::And(busy, RadiusFails(step, outer, outer_next)))) {
      HWY_UNROLL(8)
      for (int j = 0; j < kProofRadii; ++j) radius[j] = NextRadii(step, radius[j]);
      outer = outer_next;
    } else {
      StepAndDropFailedRadii(p, step, radius, outer_first, outer);
    }
    steps = hn::Add(steps, hn::Set(dpi, 1));
    const VF away = hn::Max(hn::Abs(hn::Sub(zr, start_r)), hn::Abs(hn::Sub(zi, start_i)));
    const auto ended =
        hn::Or(hn::RebindMask(dp, hn::Eq(steps, period)), hn::Eq(outer_first, hn::Zero(dp)));
    events = hn::And(busy, hn::Or(ended, hn::Lt(away, outer_first)));
  } while (--steps_left > 0 && hn::AllFalse(dp, events));
  hn::Store(zr, dp, p.zr);
  hn::Store(zi, dp, p.zi);
  hn::Store(outer_first, dp, p.outer_first);
  hn::Store(outer, dp, p.outer);
  hn::Store(steps, dpi, p.steps);
  HWY_UNROLL(8)
  for (int j = 0; j < kProofRadii; ++j) hn::Store(radius[j], dp, p.radius[j]);
  std::uint8_t bits[8] = {};
  hn::StoreMaskBits(dp, events, bits);
  return bits[0];
}

// Stops carrying the lane's radii that GrownRadii names; returns those left.
inline unsigned DropGrownRadii(ProverLanes& p, int lane, const ProofRadii& first,
                               const ProofRadii& last, unsigned alive) {
  alive &= ~GrownRadii(first, last, alive);
  p.outer_first[lane] = p.outer[lane] = 0;
  for (int j = 0; j < kProofRadii; ++j) {
    if ((alive >> j & 1) == 0) p.radius[j][lane] = kDead;
    if (alive >> j & 1) {
      p.outer_first[lane] = first[j];  // first radii ascend
      p.outer[lane] = last[j];
    }
  }
  return alive;
}

// After a lane's event: true once its slot's proof is over (the lane is then free).
inline bool HandleEvent(ProverLanes& p, int lane, ProofSlot& slot) {
  ProofRadii first;
  ProofRadii last;
  unsigned alive = LaneRadii(p, lane, first, last);
  const Return back =
      ReturnOf(p.start_r[lane], p.start_i[lane], p.zr[lane], p.zi[lane], first, last, alive);
  if (back == Return::kClosed) {
    slot.outcome.steps += p.steps[lane];
    slot.outcome.proven = true;
    return true;
  }
  if (back == Return::kOpen) alive = DropGrownRadii(p, lane, first, last, alive);
  if (p.steps[lane] < p.period[lane] && alive != 0) return false;
  // The attempt is over: done, or the closer radii over the next steps (as ProveInterior).
  slot.outcome.steps += p.steps[lane];
  const double closest =
      ClosestRadius(p.start_r[lane], p.start_i[lane], p.zr[lane], p.zi[lane], first, last, alive);
  if (!slot.first_attempt || closest == 0 || slot.outcome.steps >= slot.budget) return true;
  slot.first_attempt = false;
  slot.candidate.z_real = p.zr[lane];
  slot.candidate.z_imag = p.zi[lane];
  slot.first = CloserRadii(closest);
  return !BeginAttempt(p, lane, slot);
}

}  // namespace HWY_NAMESPACE
}  // namespace fractal::kernel_detail
HWY_AFTER_NAMESPACE();

#endif  // per-target include guard
