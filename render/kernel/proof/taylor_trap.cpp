#include "render/kernel/proof/taylor_trap.h"

#include <algorithm>
#include <cmath>

#include "render/kernel/proof/disk_bounds.h"
#include "render/kernel/tuning.h"

// Test builds may define FRACTAL_PROOF_FAULT to 8..15 to plant one deliberate fault in the trap
// (1..7 are the disk arithmetic's, disk_bounds.h), so that the tests can show they catch it.

namespace fractal::kernel_detail {
namespace {

using namespace disk_constants;

// An upper bound on |z|.
double ModulusUp(Complex z) { return ModulusAbove(z.re * z.re + z.im * z.im); }

// Each part of a coefficient of the square is a sum of at most 2 degree + 2 rounded products of
// coefficients' parts, plus c's part for the constant coefficient. Summed in any order, it errs
// by at most gamma_n = n u / (1 - n u) <= (2 degree + 4) u, n = 2 degree + 3, times the sum of the
// terms' moduli; for each part that sum is at most sum_{i+j=m} |a_i| |a_j| (+ |c|'s part), by
// Cauchy-Schwarz on |x_r y_r| + |x_i y_i|. Both parts together: sqrt(2) < 1.5 times that, and
// over every coefficient, the sums of |a_i| |a_j| add up to S^2.
double CoefficientRounding(int degree) { return 1.5 * (2 * degree + 4) * kUnit; }

Complex Times(Complex x, Complex y) {
  return {x.re * y.re - x.im * y.im, x.re * y.im + x.im * y.re};
}

using Square = std::array<Complex, 2 * kMaxTrapDegree + 1>;

// The square of T_k plus c, every degree up to 2D, each cross term once and doubled.
Square SquarePlusC(Complex c, const TaylorModel& model) {
  const int degree = model.degree;
  Square square{};
  for (int i = 0; i <= degree; ++i) {
    const Complex own = Times(model.a[i], model.a[i]);
    square[2 * i].re += own.re;
    square[2 * i].im += own.im;
    for (int j = i + 1; j <= degree; ++j) {
      const Complex cross = Times(model.a[i], model.a[j]);
      square[i + j].re += 2 * cross.re;
      square[i + j].im += 2 * cross.im;
    }
  }
  square[0].re += c.re;
  square[0].im += c.im;
  return square;
}

}  // namespace

TaylorModel StartModel(Complex centre, double radius, int degree) {
  TaylorModel model;
  model.degree = std::clamp(degree, 1, kMaxTrapDegree);
  model.a[0] = centre;
  model.a[1] = {radius, 0};
  return model;
}

ModelStep StepModel(Complex c, TaylorModel& model) {
  const int degree = model.degree;
  const double e = model.remainder;
  double rest = 0;  // sum_{j >= 1} |a_kj|
  for (int j = 1; j <= degree; ++j) rest += ModulusUp(model.a[j]);
  rest *= kMargin;
  const double sum = (ModulusUp(model.a[0]) + rest) * kMargin;
  const double c_abs = std::fabs(c.re) + std::fabs(c.im);

  ModelStep step;
  step.reach = (sum + e) * kMargin;
  const double re_bound = (std::fabs(model.a[0].re) + rest + e) * kMargin;
  const double im_bound = (std::fabs(model.a[0].im) + rest + e) * kMargin;
#if FRACTAL_PROOF_FAULT != 10  // 10: the map's rounding left out
  step.map_rounding = MapErrorBound(re_bound, im_bound, c_abs);
#endif
#if FRACTAL_PROOF_FAULT == 9  // 9: the remainder's spread by the square, 2 S e, left out
  step.spread = e * e * kMargin + kAbsoluteUp;
#else
  step.spread = (2.0 * sum * e + e * e) * kMargin + kAbsoluteUp;
#endif

  const Square square = SquarePlusC(c, model);
  double fold = 0;
  for (int m = degree + 1; m <= 2 * degree; ++m) fold += ModulusUp(square[m]);
#if FRACTAL_PROOF_FAULT == 8  // 8: the degrees above D left out
  fold = 0;
#endif
  double rounding = CoefficientRounding(degree) * (sum * sum + c_abs);
#if FRACTAL_PROOF_FAULT == 11  // 11: the coefficients' rounding left out
  rounding = 0;
#endif
  step.left_out = (fold + rounding) * kMargin + kAbsoluteUp;

  for (int j = 0; j <= degree; ++j) model.a[j] = square[j];
  model.remainder = (step.map_rounding + step.spread + step.left_out) * kMargin + kAbsoluteUp;
  return step;
}

bool BelowEscape(const ModelStep& step) {
#if FRACTAL_PROOF_FAULT == 12  // 12: no escape test inside the model
  (void)step;
  return true;
#else
  return step.reach < kEscapeLimit;
#endif
}

bool ModelInside(const TaylorModel& model, Complex centre, double radius) {
  double rest = 0;
  for (int j = 1; j <= model.degree; ++j) rest += ModulusUp(model.a[j]);
  const double extent = (rest * kMargin + model.remainder) * kMargin;
#if FRACTAL_PROOF_FAULT == 14  // 14: the constant's displacement left out
  (void)centre;
  return DiskInside(0.0, extent, radius);
#else
  const double displacement =
      DistanceAbove(std::fabs(model.a[0].re - centre.re), std::fabs(model.a[0].im - centre.im));
  return DiskInside(displacement, extent, radius);
#endif
}

TrapOutcome ProveByTrap(const ProofCandidate& candidate, Complex centre, double radius,
                        int degree) {
  TrapOutcome outcome;
  const double state_distance = DistanceAbove(std::fabs(candidate.z_real - centre.re),
                                              std::fabs(candidate.z_imag - centre.im));
#if FRACTAL_PROOF_FAULT != 13  // 13: the lane's state not required inside the disk
  if (!DiskInside(state_distance, 0.0, radius)) return outcome;
#endif
  (void)state_distance;
  const Complex c{candidate.c_real, candidate.c_imag};
  TaylorModel model = StartModel(centre, radius, degree);
  while (outcome.steps < candidate.period) {
    const ModelStep step = StepModel(c, model);
    ++outcome.steps;
    if (!BelowEscape(step)) return outcome;
  }
  outcome.proven = ModelInside(model, centre, radius);
  return outcome;
}

TaylorAttempt TryTaylorTrap(const ProofCandidate& candidate, int degree) {
  TaylorAttempt attempt;
  const Complex c{candidate.c_real, candidate.c_imag};
  const Complex z{candidate.z_real, candidate.z_imag};
  const CycleEstimate cycle =
      EstimateCycle(c, z, candidate.period, tuning::kNewtonRounds, tuning::kNewtonSettled);
  attempt.newton_steps = cycle.steps;
#if FRACTAL_PROOF_FAULT == 15  // 15: a settled Newton taken for a proof
  attempt.proven = cycle.found;
  return attempt;
#endif
  if (!cycle.found) return attempt;
  const double contraction = 1.0 - Modulus(cycle.multiplier);
  if (!(contraction > 0)) return attempt;
  // The largest radius the cycle's first two coefficients let close is about contraction /
  // |curvature|; a quarter of it leaves room for the higher degrees and the remainder.
  const double reach = contraction / (4.0 * Modulus(cycle.curvature));
  const double distance = Modulus({z.re - cycle.centre.re, z.im - cycle.centre.im});
  if (!(distance <= tuning::kTrapReachFactor * reach)) {
    // The orbit closes in on its cycle by a factor 1 - contraction a period.
    if (distance > 0 && reach > 0)
      attempt.periods_to_wait = std::log(distance / reach) / contraction;
    return attempt;
  }
  attempt.centre = cycle.centre;
  attempt.radius = distance * tuning::kTrapRadiusOverDistance;
  const TrapOutcome trap = ProveByTrap(candidate, attempt.centre, attempt.radius, degree);
  attempt.model_steps = trap.steps;
  attempt.proven = trap.proven;
  return attempt;
}

}  // namespace fractal::kernel_detail
