// Taylor traps: each term of the model's remainder held against arithmetic of higher precision,
// the trap's refusals where its argument does not reach, and every trap proven on deep views and
// random click paths held against plain iteration and against orbits from the rim of its disk.
#include "render/kernel/proof/taylor_trap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "render/kernel/tuning.h"
#include "support/click_views.h"
#include "support/kernel_testing.h"
#include "support/proof_testing.h"

namespace fractal::kernel_detail {
namespace {

using namespace testing;

struct WideZ {
  Wide re = 0;
  Wide im = 0;
};
WideZ Plus(WideZ x, WideZ y) { return {x.re + y.re, x.im + y.im}; }
WideZ Minus(WideZ x, Z y) { return {x.re - y.re, x.im - y.im}; }
WideZ Times(WideZ x, WideZ y) { return {x.re * y.re - x.im * y.im, x.re * y.im + x.im * y.re}; }
WideZ Widen(Z z) { return {z.re, z.im}; }
// |z| a hair low: the check it feeds must hold with room to spare.
double ModulusBelow(WideZ z) {
  return std::sqrt(static_cast<double>(z.re * z.re + z.im * z.im)) * (1 - 0x1p-40);
}

// T(t), exactly but for Wide's own roundings.
WideZ Evaluate(const TaylorModel& model, WideZ t) {
  WideZ sum;
  for (int j = model.degree; j >= 0; --j) sum = Plus(Times(sum, t), Widen(model.a[j]));
  return sum;
}

// A model as a trap carries it: a centre anywhere a cycle may be, coefficients shrinking by
// about the radius a degree, and a remainder up to the radius squared.
TaylorModel RandomModel(Random& random) {
  const double radius = random.LogUniform(1e-12, 0.1);
  TaylorModel model =
      StartModel({random.Uniform(-1.5, 1.5), random.Uniform(-1.5, 1.5)}, radius, random.Int(1, 4));
  for (int j = 1; j <= model.degree; ++j) {
    model.a[j] = random.Around({}, std::pow(radius, j) * random.LogUniform(0.1, 10));
  }
  model.remainder = random.Int(0, 3) == 0 ? 0 : radius * radius * random.Uniform(0, 1);
  return model;
}

// The square of the model's polynomial plus c, every degree: what the step truncates and rounds.
std::array<WideZ, 2 * kMaxTrapDegree + 1> ExactSquare(const TaylorModel& model, Z c) {
  std::array<WideZ, 2 * kMaxTrapDegree + 1> square{};
  for (int i = 0; i <= model.degree; ++i) {
    for (int j = 0; j <= model.degree; ++j) {
      square[i + j] = Plus(square[i + j], Times(Widen(model.a[i]), Widen(model.a[j])));
    }
  }
  square[0] = Plus(square[0], Widen(c));
  return square;
}

TEST(TaylorArithmetic, EveryTermOfTheRemainderHolds) {
  Random random(11);
  Tally left_out("the degrees above D and the coefficients' rounding within left_out");
  Tally map("F(y) - (y^2 + c) within map_rounding for y in the model");
  Tally spread("2 T d + d^2 within spread");
  Tally reach("|T(t)| + e within reach");
  for (int i = 0; i < 100'000 / kShare; ++i) {
    const Z c{random.Uniform(-2, 2), random.Uniform(-2, 2)};
    const TaylorModel before = RandomModel(random);
    TaylorModel after = before;
    const ModelStep step = StepModel(c, after);
    const auto where = [&] { return "c " + Text(c) + " a0 " + Text(before.a[0]); };

    const auto exact = ExactSquare(before, c);
    double missing = 0;
    for (int m = 0; m <= 2 * before.degree; ++m) {
      missing += ModulusBelow(m <= before.degree ? Minus(exact[m], after.a[m]) : exact[m]);
    }
    left_out.Expect(missing <= step.left_out, where);

    for (int k = 0; k < 4; ++k) {
      const Z t = k == 0 ? Z{} : random.Around({}, k == 1 ? 1.0 : random.Uniform(0, 1));
      const WideZ value = Evaluate(before, Widen(t));
      const double modulus = ModulusBelow(value);
      reach.Expect(modulus + before.remainder <= step.reach, where);
      // The remainder pointing along T(t) spreads most.
      const double e = before.remainder;
      spread.Expect(2 * modulus * e + e * e <= step.spread, where);
      // A double of the model: T(t) moved by up to the remainder, rounded.
      const Z d = random.Around({}, e * random.Uniform(0, 1));
      const Z y{static_cast<double>(value.re) + d.re, static_cast<double>(value.im) + d.im};
      Z fy = y;
      Step(c, fy);
      const WideZ y_squared = Plus(Times(Widen(y), Widen(y)), Widen(c));
      map.Expect(ModulusBelow(Minus(y_squared, fy)) <= step.map_rounding, where);
    }
  }
}

// The superattracting parameter of period p nearest -2, by Newton's method on f_c^p(0) = 0 in c.
// Its cycle runs 0, c, c^2 + c, ..., and c is the nearer -2 the longer the period.
Z SuperattractingNearMinusTwo(int period) {
  double c = -2 + 9.87 / std::pow(4.0, period);
  for (int round = 0; round < 60; ++round) {
    double z = 0;
    double dz = 0;
    for (int k = 0; k < period; ++k) {
      dz = 2 * z * dz + 1;
      z = z * z + c;
    }
    c = std::max(c - z / dz, (c - 2) / 2);
  }
  return {c, 0};
}

ProofCandidate StateOf(Z c, Z z, std::int64_t period) {
  return {c.re, c.im, z.re, z.im, period, 0};
}

bool Escapes(Z c, Z z) {
  return EscapeCountFrom(z.re, z.im, c.re, c.im, std::int32_t{1} << 24) < (std::int32_t{1} << 24);
}

TEST(TaylorTrap, RefusesWhatItsArgumentDoesNotCover) {
  // A state outside the disk: c = 0 traps D(0, 1/2), but 2.5 escapes.
  const Z zero{};
  EXPECT_TRUE(ProveByTrap(StateOf(zero, {0.25, 0}, 1), zero, 0.5, 2).proven);
  ASSERT_TRUE(Escapes(zero, {2.5, 0}));
  EXPECT_FALSE(ProveByTrap(StateOf(zero, {2.5, 0}, 1), zero, 0.5, 2).proven);

  // A disk that its image, spread by less than its radius, leaves by its centre: no point
  // stays for c = 0.3, outside the set.
  const Z outside{0.3, 0};
  ASSERT_TRUE(Escapes(outside, {0.45, 0}));
  EXPECT_FALSE(ProveByTrap(StateOf(outside, {0.45, 0}, 1), {0.45, 0}, 0.08, 2).proven);

  // Newton settles on the repelling fixed point 0.5 + 0.2236i of c = 0.3.
  ASSERT_TRUE(Escapes(outside, {0.5, 0.2}));
  EXPECT_FALSE(TryTaylorTrap(StateOf(outside, {0.5, 0.2}, 1), 4, true).proven);

  // Cycles through 0 and c that pass near -2: the trap must refuse states within 2^-20 of
  // |z| = 2, where the computed |z|^2 may reach 4, though its disk comes back.
  const Z period_11 = SuperattractingNearMinusTwo(11);
  const Z period_12 = SuperattractingNearMinusTwo(12);
  EXPECT_LT(-period_11.re, 2 - 0x1p-20);
  EXPECT_GT(-period_12.re, 2 - 0x1p-20);
  EXPECT_TRUE(ProveByTrap(StateOf(period_11, zero, 11), zero, 1e-7, 2).proven);
  EXPECT_FALSE(ProveByTrap(StateOf(period_12, zero, 12), zero, 1e-7, 2).proven);
}

// Two interior points of dive 20 whose orbits close in on their cycles (periods 14,937 and 25,818)
// by only about 1 % a period, at the counts where they first come within about 1e-8 of them, as
// near as their rounding lets them. The rounding the trap must carry step after step then nearly
// fills its margin: the first needs Newton to settle at its rounding floor and a second, wider
// radius; the second needs the constant coefficient's rounding bounded on its own (with the
// higher coefficients' bound, its remainder is 0.014 of the radius, above its margin of 0.013).
TEST(TaylorTrap, ProvesSlowOrbitsAtTheirRoundingFloor) {
  struct Slow {
    Z c;
    std::int32_t count;
  };
  const std::int32_t cap = 16 << 20;
  for (const Slow& slow : {Slow{{-0.74364382743835478, 0.13182595252990717}, 16142518},
                           Slow{{-0.74364469528198263, 0.13182523727416987}, 10761679}}) {
    Z z{};
    for (std::int32_t k = 0; k < slow.count; ++k) ASSERT_LT(Step(slow.c, z), 4.0);
    ASSERT_EQ(EscapeCountFrom(z.re, z.im, slow.c.re, slow.c.im, cap - slow.count),
              cap - slow.count);
    const std::int64_t period = ReturnPeriod({slow.c.re, slow.c.im}, {z.re, z.im}, 1 << 16);
    const TaylorAttempt trap = TryTaylorTrap(StateOf(slow.c, z, period), tuning::kTrapDegree, true);
    EXPECT_TRUE(trap.proven) << "c " << Text(slow.c) << " period " << period;
  }
}

// Follows points as the lanes do, trying a trap at each proposal, and checks every trap that
// proves: plain iteration must never see the point escape, and orbits from the rim of the trap's
// disk must pass the escape test at no step and be back in the disk after each of three periods.
class TrapChecker {
 public:
  explicit TrapChecker(std::uint64_t seed) : random_(seed) {}

  void Check(Z c, std::int64_t cap) {
    TaylorAttempt proof;
    // At every proposal, however early: the more traps, the more there are to check.
    const auto try_trap = [&](const ProofCandidate& candidate, std::int64_t, std::int64_t) {
      proof = TryTaylorTrap(candidate, tuning::kTrapDegree, false);
      return ProofOutcome{proof.proven, proof.newton_steps + proof.model_steps};
    };
    const Orbit proved = Follow(c, cap, kSearchBudget, 8, try_trap);
    if (proved.end != End::kProven) return;
    const Orbit plain = Follow(c, cap, kConfirmBudget, 0, try_trap);
    if (plain.end != End::kUndecided) ++checked_;
    sound_.Expect(plain.end != End::kEscaped, [&] {
      return "c " + Text(c) + " proven, escapes at " + std::to_string(plain.count);
    });
    ExpectRimOrbitsStay(c, proof);
  }

  int checked() const { return checked_; }

 private:
  // The trap's disk is known only where the orbit returns: after each period.
  void ExpectRimOrbitsStay(Z c, const TaylorAttempt& trap) {
    const auto inside_after = [&](std::int64_t k, Z w) {
      return k % trap.period != 0 || Inside(w, trap.centre, trap.radius);
    };
    testing::ExpectRimOrbitsStay(random_, c, trap.centre, trap.radius, 1e-9, 4, trap.period,
                                 inside_after, rims_, "the trap");
  }

  Random random_;
  Tally sound_{"a trap is confirmed by plain iteration"};
  Tally rims_{"orbits from the rim of a trap come back into it"};
  int checked_ = 0;
};

TEST(TaylorTrap, ProofsOnDeepViewsAndRandomPathsHold) {
  Random random(12);
  TrapChecker checker(13);
  for (int clicks = 12; clicks <= 22; clicks += 2) {
    const ViewState view = Dive(clicks);
    for (int i = 0; i < 2000 / kShare; ++i) {
      checker.Check(RandomPixel(random, view), 16 * std::int64_t{view.Zoom});
    }
  }
  const int dive_proofs = checker.checked();
  std::mt19937 clicks(14);
  for (int v = 0; v < 100 / kShare; ++v) {
    ViewState view;
    do view = RandomView(clicks, 20);
    while (view.Zoom < 1 << 8);
    for (int i = 0; i < 50; ++i)
      checker.Check(RandomPixel(random, view), 16 * std::int64_t{view.Zoom});
  }
  EXPECT_GT(dive_proofs, 300 / kShare);
  EXPECT_GT(checker.checked() - dive_proofs, 100 / kShare);
}

}  // namespace
}  // namespace fractal::kernel_detail
