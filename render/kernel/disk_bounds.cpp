#include "render/kernel/disk_bounds.h"

#include <algorithm>
#include <cmath>
#include <limits>

// Test builds may define FRACTAL_PROOF_FAULT to 1..7 to plant one deliberate fault in the
// proof's arithmetic, so that the tests can show they catch it. Release code never does.
#ifndef FRACTAL_PROOF_FAULT
#define FRACTAL_PROOF_FAULT 0
#endif

namespace fractal::kernel_detail {
namespace {

constexpr double kUnit = 0x1p-53;             // the rounding unit u
constexpr double kRoundUp = 1.0 + 0x1p-46;    // relative: the bounds' own roundings
constexpr double kAbsoluteUp = 0x1p-1000;     // absolute: their underflows
constexpr double kCompareUp = 1.0 + 0x1p-50;  // one rounding before a comparison
// A double w with |w| below this has a computed |w|^2 below 4: (4 - 2^-18)(1 + 2^-51) < 4.
constexpr double kEscapeLimit = 2.0 - 0x1p-20;

// 3 (a^2 + b^2) + 4 a b with a = am + r, b = bm + r is the same at r = 0 plus
// kErrorLinear (am + bm) r + kErrorQuadratic r^2.
#if FRACTAL_PROOF_FAULT == 2  // half an ulp for each square only: too small
constexpr double kErrorLinear = 2;
constexpr double kErrorQuadratic = 2;
#else
constexpr double kErrorLinear = 10;
constexpr double kErrorQuadratic = 10;
#endif

}  // namespace

double MapErrorBound(double a, double b, double c_abs) {
#if FRACTAL_PROOF_FAULT == 2
  return kUnit * (a * a + b * b + c_abs) * kRoundUp + kAbsoluteUp;
#else
  return kUnit * (3.0 * (a * a + b * b) + 4.0 * a * b + c_abs) * kRoundUp + kAbsoluteUp;
#endif
}

double ModulusAbove(double s) { return std::sqrt(s) * (1.0 + 0x1p-50) + 0x1p-500; }

// r' = |w^2 - m^2| + the two rounding terms:
//    r (2|m| + r) + 2 u (E0 + kErrorLinear (am + bm) r + kErrorQuadratic r^2).
DiskStep DiskStepAt(double s, double abs_real, double abs_imag, double c_abs) {
  const double modulus = ModulusAbove(s);
  const double error_growth = 2.0 * kUnit * kRoundUp;
  DiskStep step;
#if FRACTAL_PROOF_FAULT == 3  // the quadratic term left out
  step.quadratic = error_growth * kErrorQuadratic;
#else
  step.quadratic = (1.0 + error_growth * kErrorQuadratic) * kRoundUp;
#endif
#if FRACTAL_PROOF_FAULT == 4  // the derivative |m| instead of 2|m|
  step.linear = (modulus + error_growth * kErrorLinear * (abs_real + abs_imag)) * kRoundUp;
#else
  step.linear = (2.0 * modulus + error_growth * kErrorLinear * (abs_real + abs_imag)) * kRoundUp;
#endif
  step.constant = 2.0 * MapErrorBound(abs_real, abs_imag, c_abs) * kRoundUp + kAbsoluteUp;
#if FRACTAL_PROOF_FAULT == 1  // no escape test inside the disks
  step.radius_limit = std::numeric_limits<double>::infinity();
#else
  // r < fl(L - |m|) (1 - 2^-50) makes |m| + r < L whatever the subtraction's rounding.
  step.radius_limit = (kEscapeLimit - modulus) * (1.0 - 0x1p-50);
#endif
  return step;
}

double DistanceAbove(double dx, double dy) {
#if FRACTAL_PROOF_FAULT == 7  // squares even where they underflow
  return std::sqrt(dx * dx + dy * dy) * kRoundUp + kAbsoluteUp;
#else
  // Squares of at least 2^-1000 are exact to a relative u; below, the sum of the two bounds
  // the distance without any.
  if (std::max(dx, dy) > 0x1p-500) return std::sqrt(dx * dx + dy * dy) * kRoundUp + kAbsoluteUp;
  return (dx + dy) * kRoundUp + kAbsoluteUp;
#endif
}

bool DiskInside(double distance, double last, double first) {
#if FRACTAL_PROOF_FAULT == 5  // the last disk's own radius left out
  (void)last;
  return distance * kCompareUp <= first;
#elif FRACTAL_PROOF_FAULT == 6  // the centre's displacement left out
  (void)distance;
  return last * kCompareUp <= first;
#else
  return (distance + last) * kCompareUp <= first;
#endif
}

}  // namespace fractal::kernel_detail
