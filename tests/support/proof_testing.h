// What the tests of interior proofs share: arithmetic of higher precision to hold bounds against,
// seeded random points and disks, and a tally for checks run many times.
#pragma once

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <sstream>
#include <string>

#include "render/kernel/escape_time.h"
#include "render/kernel/proof/cycle_estimate.h"
#include "render/kernel/proof/interior_proof.h"
#include "view/view_state.h"

namespace fractal::testing {

// At least 113 significant bits: products of two doubles are exact, sums nearly so.
#if defined(__x86_64__)
__extension__ typedef __float128 Wide;
#else
typedef long double Wide;
static_assert(LDBL_MANT_DIG >= 113, "needs a long double of IEEE quadruple precision");
#endif

// Sanitizer and unoptimised builds run a fraction of the samples and give up on orbits sooner.
#if defined(__OPTIMIZE__) && !defined(__SANITIZE_ADDRESS__)
inline constexpr int kShare = 1;
inline constexpr std::int64_t kSearchBudget = std::int64_t{1} << 20;
inline constexpr std::int64_t kConfirmBudget = std::int64_t{1} << 24;
#else
inline constexpr int kShare = 4;
inline constexpr std::int64_t kSearchBudget = std::int64_t{1} << 18;
inline constexpr std::int64_t kConfirmBudget = std::int64_t{1} << 20;
#endif
inline constexpr double kTwoPi = 6.283185307179586;

using Z = kernel_detail::Complex;

// One step of the orbit as the lanes take it; returns the escape test's |z|^2 before it.
inline double Step(Z c, Z& z) { return StepOrbit(c.re, c.im, z.re, z.im); }

inline double AbsSum(Z z) { return std::fabs(z.re) + std::fabs(z.im); }
inline Wide Abs(Wide x) { return x < 0 ? -x : x; }
inline Wide Square(Wide x) { return x * x; }

// Whether |w - m| <= r exactly: in double when that is clearly so, else in Wide.
inline bool Inside(Z w, Z m, double r) {
  const double dr = w.re - m.re;
  const double di = w.im - m.im;
  if (r > 0x1p-400 && dr * dr + di * di <= r * r * (1 - 0x1p-40)) return true;
  return Square(Wide(w.re) - m.re) + Square(Wide(w.im) - m.im) <= Square(r);
}

class Random {
 public:
  explicit Random(std::uint64_t seed) : engine_(seed) {}
  double Uniform(double low, double high) {
    return std::uniform_real_distribution<double>(low, high)(engine_);
  }
  double LogUniform(double low, double high) {
    return std::exp(Uniform(std::log(low), std::log(high)));
  }
  int Int(int low, int high) { return std::uniform_int_distribution<int>(low, high)(engine_); }
  Z Around(Z m, double rho) { return Toward(m, rho, Uniform(0, kTwoPi)); }
  static Z Toward(Z m, double rho, double angle) {
    return {m.re + rho * std::cos(angle), m.im + rho * std::sin(angle)};
  }

 private:
  std::mt19937_64 engine_;
};

inline std::string Text(Z c) {
  std::ostringstream out;
  out << std::hexfloat << "(" << c.re << ", " << c.im << ")";
  return out.str();
}

// A check run many times: reports its first few failures and, at the end, how many there were.
class Tally {
 public:
  explicit Tally(const char* what) : what_(what) {}
  ~Tally() { EXPECT_EQ(failed_, 0) << what_ << " failed " << failed_ << " of " << run_; }
  template <class Describe>
  void Expect(bool ok, Describe describe) {
    ++run_;
    if (!ok && ++failed_ <= 3) ADD_FAILURE() << what_ << ": " << describe();
  }

 private:
  const char* what_;
  std::int64_t run_ = 0;
  std::int64_t failed_ = 0;
};

// Follows `samples` doubles from just inside the rim of D(centre, radius) (within a relative
// `inset`) for three periods: no step may pass the escape test, and after k steps the state must
// satisfy inside_after(k, w). Failures go to `tally`, naming what the orbit `leaves`.
template <class InsideAfter>
void ExpectRimOrbitsStay(Random& random, Z c, Z centre, double radius, double inset, int samples,
                         std::int64_t period, InsideAfter inside_after, Tally& tally,
                         const char* leaves) {
  for (int sample = 0; sample < samples; ++sample) {
    Z w = random.Around(centre, radius * (1 - inset * random.Uniform(0, 1)));
    if (!Inside(w, centre, radius)) continue;
    for (std::int64_t k = 1; k <= 3 * period; ++k) {
      const bool stays = Step(c, w) < 4.0 && inside_after(k, w);
      tally.Expect(stays, [&] {
        return "c " + Text(c) + " period " + std::to_string(period) + ": step " +
               std::to_string(k) + " leaves " + leaves;
      });
      if (!stays) break;
    }
  }
}

// A point of `view` at a random pixel.
inline Z RandomPixel(Random& random, const ViewState& view) {
  const double x = (random.Int(0, 399) - 200) / 100.0;
  const double y = (200 - random.Int(0, 399)) / 100.0;
  return {PlaneReal(view, x), PlaneImaginary(view, y)};
}

// How a point's orbit ends as far as it was followed.
enum class End { kEscaped, kRepeated, kProven, kCapped, kUndecided };

struct Orbit {
  End end = End::kUndecided;
  std::int64_t count = 0;
  kernel_detail::ProofCandidate proven;  // the candidate that was proven
  std::int64_t proof_steps = 0;          // steps the point's proofs had run before
};

// Follows c from z = 0 much as the lanes do (their windows are shorter on deep views): exact
// repeats of checkpoints taken at counts 64, 128, 256, ..., and, if stride > 0, the closest return
// to the checkpoint among the states `stride` apart in each window; a window that closes with a
// return nearer than 1e-2 proposes it to `prove`, with the count and the steps the point's proofs
// have run so far. Gives up after `budget` steps.
template <class Prove>
Orbit Follow(Z c, std::int64_t cap, std::int64_t budget, int stride, Prove prove) {
  Z z;
  Z checkpoint;
  std::int64_t window_end = 64;
  double closest = std::numeric_limits<double>::infinity();
  std::int64_t closest_at = 0;
  std::int64_t proof_steps = 0;
  for (std::int64_t n = 0;;) {
    if (n == cap) return {End::kCapped, n, {}};
    if (n == budget) return {End::kUndecided, n, {}};
    if (Step(c, z) >= 4.0) return {End::kEscaped, n, {}};
    ++n;
    if (z.re == checkpoint.re && z.im == checkpoint.im) return {End::kRepeated, n, {}};
    if (stride > 0 && n % stride == 0) {
      const double d = std::max(std::fabs(z.re - checkpoint.re), std::fabs(z.im - checkpoint.im));
      if (d < closest) {
        closest = d;
        closest_at = n;
      }
    }
    if (n < window_end) continue;
    if (stride > 0 && n > 64 && closest < 1e-2) {
      const kernel_detail::ProofCandidate candidate{c.re,   c.im, z.re, z.im, closest_at - n / 2,
                                                    closest};
      const kernel_detail::ProofOutcome outcome = prove(candidate, n, proof_steps);
      if (outcome.proven) return {End::kProven, n, candidate, proof_steps};
      proof_steps += outcome.steps;
    }
    checkpoint = z;
    window_end *= 2;
    closest = std::numeric_limits<double>::infinity();
  }
}

}  // namespace fractal::testing
