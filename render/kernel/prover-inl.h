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

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>

#include "render/kernel/disk_bounds.h"
#include "render/kernel/interior_proof.h"

HWY_BEFORE_NAMESPACE();
namespace fractal::kernel_detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using DP = hn::ScalableTag<double>;
using DPI = hn::RebindToSigned<DP>;
using VP = hn::Vec<DP>;
using VPI = hn::Vec<DPI>;
constexpr int kProverLanes = static_cast<int>(hn::MaxLanes(DP()));

// Proposals proved together: enough to keep every prover lane busy as proofs end.
constexpr int kProofBatch = kProverLanes < 2 ? 4 : 2 * kProverLanes;

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
  alignas(64) double top[kProverLanes];  // the largest first radius still carried; 0 if none
  // The radius that started as `top`, now: the largest carried, as radii keep their order.
  alignas(64) double lead[kProverLanes];
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
  p.top[lane] = p.lead[lane] = 0;
  for (int j = 0; j < kProofRadii; ++j) {
    const double r = slot.first[j];
    p.first[j][lane] = r;
    p.radius[j][lane] = r > 0 ? r : kDead;
    if (r > 0) p.top[lane] = p.lead[lane] = r;  // first radii ascend
  }
  p.steps[lane] = 0;
  p.period[lane] = std::min(slot.candidate.period, slot.budget - slot.outcome.steps);
}

// Starts the slot's attempt on the lane; false if no radius is above zero, which ends the
// attempt, and with it the proof, before any step (as in ProveInterior).
inline bool BeginAttempt(ProverLanes& p, int lane, const ProofSlot& slot) {
  StartAttempt(p, lane, slot);
  return p.top[lane] > 0;
}

inline void IdleLane(ProverLanes& p, int lane) {
  p.cr[lane] = p.ci[lane] = p.zr[lane] = p.zi[lane] = p.start_r[lane] = p.start_i[lane] = 0;
  p.c_constant[lane] = p.top[lane] = p.lead[lane] = 0;
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

// The disk step at each lane's state s = |z|^2, as DiskStepAt takes it.
struct DiskStepVectors {
  VP quadratic, linear, constant, limit;
};

HWY_ATTR HWY_INLINE DiskStepVectors DiskStepsAt(VP s, VP c_constant) {
  const DP dp;
  const VP modulus =
      hn::Add(hn::Mul(hn::Sqrt(s), hn::Set(dp, 1.0 + 0x1p-50)), hn::Set(dp, 0x1p-500));
  return {hn::Set(dp, disk_factors::kQuadratic),
          hn::Mul(modulus, hn::Set(dp, disk_factors::kLinear)),
          hn::Add(hn::Mul(s, hn::Set(dp, disk_factors::kSquare)), c_constant),
          hn::Mul(hn::Sub(hn::Set(dp, disk_constants::kEscapeLimit), modulus),
                  hn::Set(dp, disk_factors::kLimitFactor))};
}

HWY_ATTR HWY_INLINE VP NextRadii(const DiskStepVectors& step, VP r) {
  return hn::Add(hn::Mul(hn::Add(hn::Mul(step.quadratic, r), step.linear), r), step.constant);
}

// Whether a radius r, stepped to `next`, fails: its disk reaches the escape test, or it has
// grown to 1 or more and can never close again.
HWY_ATTR HWY_INLINE hn::Mask<DP> RadiusFails(const DiskStepVectors& step, VP r, VP next) {
  const DP dp;
  return hn::Or(hn::Not(hn::Lt(r, step.limit)), hn::Not(hn::Lt(next, hn::Set(dp, 1.0))));
}

// Steps the radii, stops carrying those that fail at this step, and finds each lane's top and
// lead anew.
HWY_ATTR inline void StepAndDropFailedRadii(const ProverLanes& p, const DiskStepVectors& step,
                                            VP (&radius)[kProofRadii], VP& top, VP& lead) {
  const DP dp;
  const VP dead = hn::Set(dp, kDead);
  top = lead = hn::Zero(dp);
  for (int j = 0; j < kProofRadii; ++j) {
    const VP next = NextRadii(step, radius[j]);
    radius[j] = hn::IfThenElse(RadiusFails(step, radius[j], next), dead, next);
    const auto carried = hn::Ne(radius[j], dead);
    top = hn::IfThenElse(carried, hn::Load(dp, p.first[j]), top);
    lead = hn::IfThenElse(carried, radius[j], lead);
  }
}

// Steps every lane until some busy lane's attempt ends (its steps reach its period, or no
// radius is carried) or its orbit comes back within its largest radius, or `steps_left` runs
// out (an attempt may run for millions of steps); returns those lanes.
//
// Radii keep their order through the steps (every operation is monotone), and a failing radius
// makes every larger one fail with it. So only the lead radius, the largest carried, is checked
// at each step; the others only at a step where some lane's lead fails.
HWY_ATTR inline std::uint64_t StepProverLanes(ProverLanes& p, std::int64_t& steps_left) {
  const DP dp;
  const DPI dpi;
  VP zr = hn::Load(dp, p.zr), zi = hn::Load(dp, p.zi);
  VP top = hn::Load(dp, p.top), lead = hn::Load(dp, p.lead);
  const VP cr = hn::Load(dp, p.cr), ci = hn::Load(dp, p.ci), cc = hn::Load(dp, p.c_constant);
  const VP start_r = hn::Load(dp, p.start_r), start_i = hn::Load(dp, p.start_i);
  const VPI period = hn::Load(dpi, p.period);
  VPI steps = hn::Load(dpi, p.steps);
  VP radius[kProofRadii];
  HWY_UNROLL(8)
  for (int j = 0; j < kProofRadii; ++j) radius[j] = hn::Load(dp, p.radius[j]);
  const auto busy = hn::RebindMask(dp, hn::Gt(period, hn::Set(dpi, -1)));
  hn::Mask<DP> events;
  do {
    const VP r2 = hn::Mul(zr, zr);
    const VP i2 = hn::Mul(zi, zi);
    const DiskStepVectors step = DiskStepsAt(hn::Add(r2, i2), cc);
    const VP t = hn::Add(hn::Sub(r2, i2), cr);
    zi = hn::Add(ci, hn::Mul(hn::Mul(hn::Set(dp, 2.0), zr), zi));
    zr = t;
    const VP lead_next = NextRadii(step, lead);
    if (hn::AllFalse(dp, hn::And(busy, RadiusFails(step, lead, lead_next)))) {
      HWY_UNROLL(8)
      for (int j = 0; j < kProofRadii; ++j) radius[j] = NextRadii(step, radius[j]);
      lead = lead_next;
    } else {
      StepAndDropFailedRadii(p, step, radius, top, lead);
    }
    steps = hn::Add(steps, hn::Set(dpi, 1));
    const VP away = hn::Max(hn::Abs(hn::Sub(zr, start_r)), hn::Abs(hn::Sub(zi, start_i)));
    const auto ended = hn::Or(hn::RebindMask(dp, hn::Eq(steps, period)), hn::Eq(top, hn::Zero(dp)));
    events = hn::And(busy, hn::Or(ended, hn::Lt(away, top)));
  } while (--steps_left > 0 && hn::AllFalse(dp, events));
  hn::Store(zr, dp, p.zr);
  hn::Store(zi, dp, p.zi);
  hn::Store(top, dp, p.top);
  hn::Store(lead, dp, p.lead);
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
  p.top[lane] = p.lead[lane] = 0;
  for (int j = 0; j < kProofRadii; ++j) {
    if ((alive >> j & 1) == 0) p.radius[j][lane] = kDead;
    if (alive >> j & 1) {
      p.top[lane] = first[j];  // first radii ascend
      p.lead[lane] = last[j];
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

// Runs every slot's proof to its end on the prover's lanes, a free lane taking the next slot.
inline void ProveSlots(ProofSlot* slots, int count) {
  ProverLanes p;
  int next = 0;
  int busy = 0;
  const auto take = [&](int lane) {
    for (; next < count; ++next) {
      if (!slots[next].active || !BeginAttempt(p, lane, slots[next])) continue;
      p.slot[lane] = next++;
      ++busy;
      return;
    }
    IdleLane(p, lane);
  };
  for (int lane = 0; lane < kProverLanes; ++lane) take(lane);
  while (busy > 0) {
    std::int64_t steps_left = std::numeric_limits<std::int64_t>::max();
    for (std::uint64_t events = StepProverLanes(p, steps_left); events != 0; events &= events - 1) {
      const int lane = __builtin_ctzll(events);
      if (!HandleEvent(p, lane, slots[p.slot[lane]])) continue;
      --busy;
      take(lane);
    }
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace fractal::kernel_detail
HWY_AFTER_NAMESPACE();

#endif  // per-target include guard
