// The rounding-aware disk arithmetic behind interior proofs, on its own so that tests can hold
// each bound against arithmetic of higher precision.
//
// F is the double map as the lanes compute it, every operation rounded to nearest:
//   F(w) = (fl(fl(fl(wr * wr) - fl(wi * wi)) + cr), fl(ci + fl(fl(2 * wr) * wi))).
// For any double w with |wr| <= a and |wi| <= b, each of its six roundings errs by at most
// u|x| (u = 2^-53), plus 2^-1075 for a product that underflows, so
//   |F(w) - (w^2 + c)| <= u (3 (a^2 + b^2) + 4 a b + |cr| + |ci|) (1 + 3u) + 5 * 2^-1075.
// For w in the disk D(m, r): |F(w) - F(m)| <= |F(w) - (w^2 + c)| + |w^2 - m^2| + |m^2 + c - F(m)|
// with |w^2 - m^2| <= r (2|m| + r), and both rounding terms are at most the bound above with
// a = |mr| + r, b = |mi| + r. Expanded in r, the radius that holds F(D(m, r)) around F(m) is a
// quadratic in r whose coefficients depend on m alone: one step costs the orbit's own step
// once, and then a multiply-add pair per radius.
//
// Every term is non-negative, so the roundings of the bounds' own few dozen operations only
// ever lower them: a factor 1 + 2^-46 and an absolute 2^-1000 (for underflow) on each
// coefficient dominate those losses.
#pragma once

namespace fractal::kernel_detail {

// Bound on |F(w) - (w^2 + c)| for every double w with |wr| <= a, |wi| <= b; c_abs = |cr| + |ci|.
double MapErrorBound(double a, double b, double c_abs);

// Upper bound on |m| from s = fl(fl(mr * mr) + fl(mi * mi)), as the escape test computed it.
double ModulusAbove(double s);

// One disk step around the orbit state m: D(m, r) maps into D(F(m), r') with
// r' = NextRadius(step, r) for every double of the disk, and no double of a disk with
// r < radius_limit passes the escape test.
struct DiskStep {
  double quadratic = 0;
  double linear = 0;
  double constant = 0;
  double radius_limit = 0;
};

// The step at m, from s = the escape test's |m|^2 and |mr|, |mi|; c_abs = |cr| + |ci|.
DiskStep DiskStepAt(double s, double abs_real, double abs_imag, double c_abs);

// r' = (quadratic r + linear) r + constant, every operation rounded as it comes.
inline double NextRadius(const DiskStep& step, double radius) {
  return (step.quadratic * radius + step.linear) * radius + step.constant;
}

// Upper bound on the Euclidean distance of two doubles whose coordinates differ by dx and dy
// (as computed: |fl(x - x')|), free of squares that could underflow.
double DistanceAbove(double dx, double dy);

// Whether the disk of radius `last` around a centre at most `distance` from the first disk's
// centre lies inside the first disk, of radius `first`.
bool DiskInside(double distance, double last, double first);

}  // namespace fractal::kernel_detail
