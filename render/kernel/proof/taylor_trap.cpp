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

// The rounding of the computed coefficients of T_k^2 + c. Each part of the constant coefficient
// sums three terms, two rounded products of a_0's parts and c's part, so it errs by at most
// gamma_3 = 3u / (1 - 3u) times the sum of their moduli; for both parts together that is at most
// gamma_3 ((|re a_0| + |im a_0|)^2 + |cr| + |ci|). Each part of a higher coefficient m sums at most
// degree + 2 rounded products of coefficients' parts, so it errs by at most gamma_n <= (degree +
// 4) u, n = degree + 3, times the sum of their moduli, which is at most sum_{i+j=m} |a_i| |a_j| by
// Cauchy-Schwarz on |x_r y_r| + |x_i y_i|; both parts together: sqrt(2) < 1.5 times that. Over
// every m >= 1, those sums add up to at most S^2 - |a_0|^2 = 2 |a_0| rest + rest^2, rest >= sum_{j
// >= 1} |a_j|. The constant coefficient carries almost all of the bound, and on slow orbits near
// their cycle the rounding it adds at every step is what a trap's margin must absorb, so it gets
// the sharper factor of its own.
double CoefficientRounding(int degree, Complex a0, double a0_modulus, double rest, double c_abs) {
  const double a0_sum = std::fabs(a0.re) + std::fabs(a0.im);
  const double constant = 3.0 * kUnit * (a0_sum * a0_sum + c_abs);
  const double higher = 1.5 * (degree + 4) * kUnit * (2.0 * a0_modulus + rest) * rest;
  return (constant + higher) * kMargin;
}

Complex Times(Complex x, Complex y) {
  return {x.re * y.re - x.im * y.im, x.re * y.im + x.im * y.re};
}

using Moduli = std::array<double, kMaxTrapDegree + 1>;

// The square of T_k plus c up to degree D, each cross term once and doubled.
template <int kDegree>
void SquarePlusC(Complex c, TaylorModel& model) {
  std::array<Complex, kDegree + 1> square{};
  for (int i = 0; 2 * i <= kDegree; ++i) {
    const Complex own = Times(model.a[i], model.a[i]);
    square[2 * i].re += own.re;
    square[2 * i].im += own.im;
    for (int j = i + 1; i + j <= kDegree; ++j) {
      const Complex cross = Times(model.a[i], model.a[j]);
      square[i + j].re += 2 * cross.re;
      square[i + j].im += 2 * cross.im;
    }
  }
  square[0].re += c.re;
  square[0].im += c.im;
  for (int m = 0; m <= kDegree; ++m) model.a[m] = square[m];
}

// The degrees above D of the square, for |t| <= 1: at most sum |a_i| |a_j| over i + j > D. The
// moduli bound the terms without computing them, which costs little: the terms are of the order
// of the radius to the D + 1, and their phases matter no more.
template <int kDegree>
double Fold(const Moduli& moduli) {
  double fold = 0;
  for (int i = 1; i <= kDegree; ++i) {
    for (int j = kDegree + 1 - i; j <= kDegree; ++j) fold += moduli[i] * moduli[j];
  }
  return fold * kMargin;
}

// |a_0| in full, as the escape test needs it; the others, which only ever enter products of two
// of them or the remainder's growth, by |re| + |im|: at most sqrt(2) too large, and with no square
// root, which would cost more than the rest of the step.
template <int kDegree>
Moduli ModuliOf(const TaylorModel& model) {
  Moduli moduli{};
  moduli[0] = ModulusUp(model.a[0]);
  for (int j = 1; j <= kDegree; ++j)
    moduli[j] = std::fabs(model.a[j].re) + std::fabs(model.a[j].im);
  return moduli;
}

template <int kDegree>
ModelStep StepModelOf(Complex c, TaylorModel& model) {
  const double e = model.remainder;
  const Moduli moduli = ModuliOf<kDegree>(model);
  double rest = 0;  // sum_{j >= 1} |a_kj|
  for (int j = 1; j <= kDegree; ++j) rest += moduli[j];
  rest *= kMargin;
  const double sum = (moduli[0] + rest) * kMargin;
  const double c_abs = std::fabs(c.re) + std::fabs(c.im);

  ModelStep step;
  step.reach = (sum + e) * kMargin;
  const double re_bound = (std::fabs(model.a[0].re) + rest + e) * kMargin;
  const double im_bound = (std::fabs(model.a[0].im) + rest + e) * kMargin;
#if FRACTAL_PROOF_FAULT == 10  // 10: the map's rounding left out
  (void)re_bound;
  (void)im_bound;
#else
  step.map_rounding = MapErrorBound(re_bound, im_bound, c_abs);
#endif
#if FRACTAL_PROOF_FAULT == 9  // 9: the remainder's spread by the square, 2 S e, left out
  step.spread = e * e * kMargin + kAbsoluteUp;
#else
  step.spread = (2.0 * sum * e + e * e) * kMargin + kAbsoluteUp;
#endif
#if FRACTAL_PROOF_FAULT == 8  // 8: the degrees above D left out
  const double fold = 0;
#else
  const double fold = Fold<kDegree>(moduli);
#endif
  double rounding = CoefficientRounding(kDegree, model.a[0], moduli[0], rest, c_abs);
#if FRACTAL_PROOF_FAULT == 11  // 11: the coefficients' rounding left out
  rounding = 0;
#endif
  step.left_out = (fold + rounding) * kMargin + kAbsoluteUp;
  SquarePlusC<kDegree>(c, model);
  model.remainder = (step.map_rounding + step.spread + step.left_out) * kMargin + kAbsoluteUp;
  return step;
}

// Where a model ran its p steps but did not close: a radius that may, or 0. Near the cycle, the
// displacement of the constant and the remainder are rounding, about the same for any small
// radius, while the rest shrinks by the multiplier; the radius they fit into with room to spare.
double WiderRadius(const TaylorModel& model, Complex centre, double radius) {
  double linear = 0;
  for (int j = 1; j <= model.degree; ++j) linear += Modulus(model.a[j]);
  const double contraction = 1.0 - linear / radius;
  const double fixed =
      Modulus({model.a[0].re - centre.re, model.a[0].im - centre.im}) + model.remainder;
  const double wider = tuning::kTrapWiderMargin * fixed / contraction;
  return contraction > 0 && wider > radius ? wider : 0;
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
  static_assert(kMaxTrapDegree == 6, "one case per degree");
  switch (model.degree) {
    case 1:
      return StepModelOf<1>(c, model);
    case 2:
      return StepModelOf<2>(c, model);
    case 3:
      return StepModelOf<3>(c, model);
    case 4:
      return StepModelOf<4>(c, model);
    case 5:
      return StepModelOf<5>(c, model);
    default:
      return StepModelOf<6>(c, model);
  }
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
  if (!outcome.proven) outcome.wider = WiderRadius(model, centre, radius);
  return outcome;
}

namespace {

// The trap around attempt.centre with attempt.radius, and once more with the wider radius it
// suggests if that is not too wide.
void TrapAround(const ProofCandidate& trap, int degree, TaylorAttempt& attempt) {
  TrapOutcome outcome = ProveByTrap(trap, attempt.centre, attempt.radius, degree);
  attempt.model_steps = outcome.steps;
  if (!outcome.proven && outcome.wider > 0 &&
      outcome.wider <= tuning::kTrapWiderAtMost * attempt.radius) {
    attempt.radius = outcome.wider;
    outcome = ProveByTrap(trap, attempt.centre, attempt.radius, degree);
    attempt.model_steps += outcome.steps;
  }
  attempt.proven = outcome.proven;
}

}  // namespace

TaylorAttempt TryTaylorTrap(const ProofCandidate& candidate, int degree, bool exact_period) {
  TaylorAttempt attempt;
  const Complex c{candidate.c_real, candidate.c_imag};
  const Complex z{candidate.z_real, candidate.z_imag};
  ProofCandidate trap = candidate;
  if (!exact_period) trap.period = ReturnPeriod(c, z, candidate.period + tuning::kReturnSlack);
  const CycleEstimate cycle = EstimateCycle(c, z, trap.period, tuning::kNewtonRounds,
                                            tuning::kNewtonSettled, tuning::kTrapWidestSpread);
  attempt.newton_steps = (exact_period ? 0 : trap.period) + cycle.steps;
  attempt.period = trap.period;
#if FRACTAL_PROOF_FAULT == 15  // 15: a settled Newton taken for a proof
  attempt.proven = cycle.found;
  return attempt;
#endif
  const double contraction = 1.0 - Modulus(cycle.multiplier);
  if (!(contraction > 0)) return attempt;
  // The orbit closes in on its cycle by a factor 1 - contraction a period.
  const auto periods_until = [&](double shrink) {
    return std::log(shrink) / contraction * static_cast<double>(trap.period);
  };
  if (cycle.spread > tuning::kTrapWidestSpread) {
    attempt.steps_to_wait = periods_until(cycle.spread / tuning::kTrapWidestSpread);
    return attempt;
  }
  if (!cycle.found) return attempt;
  // The largest radius the cycle's first two coefficients let close is about contraction /
  // |curvature|; a quarter of it leaves room for the higher degrees and the remainder.
  const double reach = contraction / (4.0 * Modulus(cycle.curvature));
  const double distance = Modulus({z.re - cycle.centre.re, z.im - cycle.centre.im});
  if (!(distance <= tuning::kTrapReachFactor * reach)) {
    if (distance > 0 && reach > 0) attempt.steps_to_wait = periods_until(distance / reach);
    return attempt;
  }
  attempt.centre = cycle.centre;
  attempt.radius = distance * tuning::kTrapRadiusOverDistance;
  TrapAround(trap, degree, attempt);
  return attempt;
}

}  // namespace fractal::kernel_detail
