#include "render/kernel/interior_proof.h"

#include <cmath>
#include <limits>

#include "render/kernel/disk_bounds.h"

namespace fractal::kernel_detail {
namespace {

// One step of the orbit, exactly as the lanes take it; returns the escape test's |z|^2.
double OrbitStep(double cr, double ci, double& zr, double& zi) {
  const double r2 = zr * zr;
  const double i2 = zi * zi;
  const double t = (r2 - i2) + cr;
  zi = ci + (2 * zr) * zi;
  zr = t;
  return r2 + i2;
}

}  // namespace

std::array<double, kProofRadii> FirstRadii(double distance) {
  // 8 apart, from an eighth of 1.5 times the distance up.
  std::array<double, kProofRadii> radii;
  double radius = 1.5 * distance / 8;
  for (double& r : radii) {
    r = radius;
    radius *= 8;
  }
  return radii;
}

std::array<double, kProofRadii> CloserRadii(double closest) {
  // 2 apart, from 1/32 of the radius that came closest up to 4 times it.
  std::array<double, kProofRadii> radii;
  for (int j = 0; j < kProofRadii; ++j) radii[j] = std::ldexp(closest, j - 5);
  return radii;
}

ProofAttempt TryProof(const ProofCandidate& candidate,
                      const std::array<double, kProofRadii>& radii) {
  const double cr = candidate.c_real;
  const double ci = candidate.c_imag;
  const double c_abs = std::fabs(cr) + std::fabs(ci);
  std::array<double, kProofRadii> radius = radii;
  unsigned alive = 0;
  for (int j = 0; j < kProofRadii; ++j) alive |= radii[j] > 0 ? 1u << j : 0u;

  ProofAttempt attempt;
  double zr = candidate.z_real;
  double zi = candidate.z_imag;
  for (; attempt.steps < candidate.period && alive != 0; ++attempt.steps) {
    const double abs_real = std::fabs(zr);
    const double abs_imag = std::fabs(zi);
    const DiskStep step = DiskStepAt(OrbitStep(cr, ci, zr, zi), abs_real, abs_imag, c_abs);
    for (int j = 0; j < kProofRadii; ++j) {
      const double next = NextRadius(step, radius[j]);
      // A radius of 1 or more can never close again; stop carrying it.
      if (!(radius[j] < step.radius_limit) || !(next < 1.0)) alive &= ~(1u << j);
      radius[j] = next;
    }
  }
  attempt.end_real = zr;
  attempt.end_imag = zi;
  if (alive == 0) return attempt;

  attempt.distance =
      DistanceAbove(std::fabs(zr - candidate.z_real), std::fabs(zi - candidate.z_imag));
  double closest = std::numeric_limits<double>::infinity();
  for (int j = 0; j < kProofRadii; ++j) {
    if ((alive >> j & 1) == 0) continue;
    if (DiskInside(attempt.distance, radius[j], radii[j])) {
      attempt.proven = true;
      attempt.closest_radius = radii[j];
      return attempt;
    }
    const double fit = (attempt.distance + radius[j]) / radii[j];
    if (fit < closest) {
      closest = fit;
      attempt.closest_radius = radii[j];
    }
  }
  return attempt;
}

ProofOutcome ProveInterior(const ProofCandidate& candidate, std::int64_t step_budget) {
  ProofOutcome outcome;
  if (candidate.period < 1 || step_budget <= 0) return outcome;
  std::array<double, kProofRadii> radii = FirstRadii(candidate.distance);
  ProofAttempt first = TryProof(candidate, radii);
  outcome.steps = first.steps;
  if (first.proven || first.closest_radius == 0 || outcome.steps >= step_budget) {
    outcome.proven = first.proven;
    return outcome;
  }
  // Radii 2 apart around the one that came closest, over the next period.
  ProofCandidate next = candidate;
  next.z_real = first.end_real;
  next.z_imag = first.end_imag;
  const ProofAttempt second = TryProof(next, CloserRadii(first.closest_radius));
  outcome.steps += second.steps;
  outcome.proven = second.proven;
  return outcome;
}

}  // namespace fractal::kernel_detail
