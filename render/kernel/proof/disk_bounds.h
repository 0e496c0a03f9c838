// The rounding-aware disk arithmetic behind interior proofs, on its own so that tests can hold
// each bound against arithmetic of higher precision.
//
// F is the double map as the lanes compute it, every operation rounded to nearest:
//   F(w) = (fl(fl(fl(wr * wr) - fl(wi * wi)) + cr), fl(ci + fl(fl(2 * wr) * wi))).
// For any double w with |wr| <= a and |wi| <= b, each of its six roundings errs by at most
// u|x| (u = 2^-53), plus 2^-1075 for a product that underflows, so (MapErrorBound)
//   |F(w) - (w^2 + c)| <= u (3 (a^2 + b^2) + 4 a b + |cr| + |ci|) (1 + 3u) + 5 * 2^-1075.
// For w in the disk D(m, r): |F(w) - F(m)| <= |F(w) - (w^2 + c)| + |w^2 - m^2| + |m^2 + c - F(m)|
// with |w^2 - m^2| <= r (2|m| + r), and both rounding terms are at most the bound above with
// a = |mr| + r, b = |mi| + r. As 4ab <= 2(a^2 + b^2) and |mr| + |mi| <= sqrt(2) |m|, that is at
// most a quadratic in r whose coefficients depend on |m|^2 alone:
//   r' = (1 + 20u) r^2 + (2 + 29u) |m| r + 10u |m|^2 + 2u (|cr| + |ci|)  (+ the 2^-1075 terms).
// So one disk step costs the orbit's own step, a square root for |m|, and a multiply-add pair
// per radius.
//
// Every term is non-negative, so the roundings of these few operations only ever lower them:
// a factor 1 + 2^-44 on each coefficient and an absolute 2^-999 dominate those losses.
#pragma once

#include <algorithm>
#include <cmath>
#include <limits>

// Test builds may define FRACTAL_PROOF_FAULT to 1..7 to plant one deliberate fault in the
// proof's arithmetic, so that the tests can show they catch it. Release code never does.
#ifndef FRACTAL_PROOF_FAULT
#define FRACTAL_PROOF_FAULT 0
#endif

namespace fractal::kernel_detail {
// Internal linkage: a test build with a planted fault has copies of its own, which must not
// meet the kernel's copies at link time.
namespace {

namespace disk_constants {
inline constexpr double kUnit = 0x1p-53;             // the rounding unit u
inline constexpr double kMargin = 1.0 + 0x1p-44;     // dominates the roundings of a bound
inline constexpr double kAbsoluteUp = 0x1p-999;      // dominates its underflows
inline constexpr double kCompareUp = 1.0 + 0x1p-50;  // one rounding before a comparison
// |m| <= fl(sqrt(s)) (1 + 2^-50) + 2^-500 for s the computed |m|^2: the square root and the
// two squares and sum beneath it err by a few units relatively, the squares' underflows absolutely.
inline constexpr double kModulusUp = 1.0 + 0x1p-50;
inline constexpr double kModulusFloor = 0x1p-500;
// A double w with |w| below this has a computed |w|^2 below 4: (4 - 2^-18)(1 + 2^-51) < 4.
inline constexpr double kEscapeLimit = 2.0 - 0x1p-20;
}  // namespace disk_constants

// Bound on |F(w) - (w^2 + c)| for every double w with |wr| <= a, |wi| <= b; c_abs = |cr| + |ci|.
inline double MapErrorBound(double a, double b, double c_abs) {
  using namespace disk_constants;
  return kUnit * (3.0 * (a * a + b * b) + 4.0 * a * b + c_abs) * kMargin + kAbsoluteUp;
}

// Upper bound on |m| from s = fl(fl(mr * mr) + fl(mi * mi)), as the escape test computed it.
inline double ModulusAbove(double s) {
  using namespace disk_constants;
  return std::sqrt(s) * kModulusUp + kModulusFloor;
}

// One disk step around the orbit state m: D(m, r) maps into D(F(m), NextRadius(step, r)) for
// every double of the disk, and no double of a disk with r < radius_limit passes the escape
// test.
struct DiskStep {
  double quadratic = 0;
  double linear = 0;
  double constant = 0;
  double radius_limit = 0;
};

// The part of the constant term that depends on c alone: c_abs = |cr| + |ci|.
inline double DiskConstantOfC(double c_abs) {
  using namespace disk_constants;
  return 2.0 * kUnit * c_abs * kMargin + kAbsoluteUp;
}

// The factors of a step, shared with the prover's vectors, which compute the same products.
namespace disk_factors {
using namespace disk_constants;
#if FRACTAL_PROOF_FAULT == 3  // the quadratic term left out
inline constexpr double kQuadratic = 20.0 * kUnit * kMargin;
#else
inline constexpr double kQuadratic = 1.0 + 0x1p-45;  // (1 + 20u), rounded up with its margin
#endif
#if FRACTAL_PROOF_FAULT == 4  // the derivative |m| instead of 2|m|
inline constexpr double kLinear = kMargin;
#else
inline constexpr double kLinear = 2.0 * kMargin;     // times |m|: (2 + 29u) |m|
#endif
#if FRACTAL_PROOF_FAULT == 2  // half an ulp for each square only: too small
inline constexpr double kSquare = kUnit;
#else
// 10u (mr^2 + mi^2): s is that sum less at most two roundings and two underflows.
inline constexpr double kSquare = 10.0 * kUnit * kMargin;
#endif
// r < fl(L - |m|) (1 - 2^-50) makes |m| + r < L whatever the subtraction's rounding.
inline constexpr double kLimitFactor = 1.0 - 0x1p-50;
}  // namespace disk_factors

// The step at m, from s = the escape test's |m|^2 and c_constant = DiskConstantOfC(|cr| + |ci|).
inline DiskStep DiskStepAt(double s, double c_constant) {
  using namespace disk_factors;
  const double modulus = ModulusAbove(s);
  DiskStep step;
  step.quadratic = kQuadratic;
  step.linear = modulus * kLinear;
  step.constant = s * kSquare + c_constant;
#if FRACTAL_PROOF_FAULT == 1  // no escape test inside the disks
  step.radius_limit = std::numeric_limits<double>::infinity();
#else
  step.radius_limit = (kEscapeLimit - modulus) * kLimitFactor;
#endif
  return step;
}

// r' = (quadratic r + linear) r + constant, every operation rounded as it comes.
inline double NextRadius(const DiskStep& step, double radius) {
  return (step.quadratic * radius + step.linear) * radius + step.constant;
}

// Upper bound on the Euclidean distance of two doubles whose coordinates differ by dx and dy
// (as computed: |fl(x - x')|), free of squares that could underflow.
inline double DistanceAbove(double dx, double dy) {
  using namespace disk_constants;
#if FRACTAL_PROOF_FAULT == 7  // squares even where they underflow
  return std::sqrt(dx * dx + dy * dy) * kMargin + kAbsoluteUp;
#else
  // Squares of at least 2^-1000 are exact to a relative u; below, the sum of the two bounds
  // the distance without any.
  if (std::max(dx, dy) > 0x1p-500) return std::sqrt(dx * dx + dy * dy) * kMargin + kAbsoluteUp;
  return (dx + dy) * kMargin + kAbsoluteUp;
#endif
}

// Whether the disk of radius `last` around a centre at most `distance` from the first disk's
// centre lies inside the first disk, of radius `first`.
inline bool DiskInside(double distance, double last, double first) {
  using namespace disk_constants;
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

}  // namespace
}  // namespace fractal::kernel_detail
