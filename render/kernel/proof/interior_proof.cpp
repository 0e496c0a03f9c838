#include "render/kernel/proof/interior_proof.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "render/kernel/escape_time.h"

namespace fractal::kernel_detail {
ProofRadii FirstRadii(double distance) {
  // 8 apart, from an eighth of 1.5 times the distance up.
  ProofRadii radii;
  double radius = 1.5 * distance / 8;
  for (double& r : radii) {
    r = radius;
    radius *= 8;
  }
  return radii;
}

ProofRadii CloserRadii(double closest) {
  // 2 apart, from a quarter of the radius that came closest up to twice it.
  ProofRadii radii;
  for (int j = 0; j < kProofRadii; ++j) radii[j] = std::ldexp(closest, j - 2);
  return radii;
}

unsigned LiveRadii(const ProofRadii& first) {
  unsigned alive = 0;
  for (int j = 0; j < kProofRadii; ++j) alive |= first[j] > 0 ? 1u << j : 0u;
  return alive;
}

double ClosestRadius(double z0_real, double z0_imag, double z_real, double z_imag,
                     const ProofRadii& first, const ProofRadii& last, unsigned alive) {
  const double distance = DistanceAbove(std::fabs(z_real - z0_real), std::fabs(z_imag - z0_imag));
  double closest_fit = std::numeric_limits<double>::infinity();
  double closest = 0;
  for (unsigned bits = alive; bits != 0; bits &= bits - 1) {
    const int j = __builtin_ctz(bits);
    if (DiskInside(distance, last[j], first[j])) return first[j];
    const double fit = (distance + last[j]) / first[j];
    if (fit < closest_fit) {
      closest_fit = fit;
      closest = first[j];
    }
  }
  return closest;
}

ProofAttempt TryProof(const ProofCandidate& candidate, const ProofRadii& radii) {
  const double cr = candidate.c_real;
  const double ci = candidate.c_imag;
  const double c_constant = DiskConstantOfC(std::fabs(cr) + std::fabs(ci));
  ProofRadii radius = radii;
  unsigned alive = LiveRadii(radii);
  ProofAttempt attempt;
  double zr = candidate.z_real;
  double zi = candidate.z_imag;
  while (attempt.steps < candidate.period && alive != 0) {
    const DiskStep step = DiskStepAt(StepOrbit(cr, ci, zr, zi), c_constant);
    for (int j = 0; j < kProofRadii; ++j) {
      const double next = NextRadius(step, radius[j]);
      // A radius of 1 or more can never close again; stop carrying it.
      if (!(radius[j] < step.radius_limit) || !(next < 1.0)) alive &= ~(1u << j);
      radius[j] = next;
    }
    ++attempt.steps;
    const Return back = ReturnOf(candidate.z_real, candidate.z_imag, zr, zi, radii, radius, alive);
    if (back == Return::kClosed) {
      attempt.proven = true;
      break;
    }
    if (back == Return::kOpen) alive &= ~GrownRadii(radii, radius, alive);
  }
  attempt.end_real = zr;
  attempt.end_imag = zi;
  attempt.closest_radius =
      ClosestRadius(candidate.z_real, candidate.z_imag, zr, zi, radii, radius, alive);
  return attempt;
}

ProofOutcome ProveInterior(const ProofCandidate& candidate, std::int64_t step_budget) {
  ProofOutcome outcome;
  if (candidate.period < 1 || step_budget <= 0) return outcome;
  ProofCandidate capped = candidate;
  capped.period = std::min(candidate.period, step_budget);
  const ProofAttempt first = TryProof(capped, FirstRadii(candidate.distance));
  outcome.steps = first.steps;
  outcome.proven = first.proven;
  if (first.proven || first.closest_radius == 0 || outcome.steps >= step_budget) return outcome;
  ProofCandidate next = candidate;
  next.z_real = first.end_real;
  next.z_imag = first.end_imag;
  next.period = std::min(candidate.period, step_budget - outcome.steps);
  const ProofAttempt second = TryProof(next, CloserRadii(first.closest_radius));
  outcome.steps += second.steps;
  outcome.proven = second.proven;
  return outcome;
}

}  // namespace fractal::kernel_detail
