// Interior proofs: the disk arithmetic held against arithmetic of higher precision, and every
// proof the prover makes on deep views and near parabolic points held against plain iteration
// and against orbits started on the rim of its first disk.
#include "render/kernel/proof/interior_proof.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "render/kernel/chunks.h"
#include "render/kernel/escape_time.h"
#include "render/kernel/proof/disk_bounds.h"
#include "support/click_views.h"
#include "support/kernel_testing.h"
#include "support/proof_testing.h"
#include "view/view_state.h"

namespace fractal::kernel_detail {
namespace {

// A point's proofs may spend this share of its iterations so far, as the lanes allow the side
// prover.
constexpr std::int64_t kProofShareInverse = tuning::kProofShareInverse;

using namespace testing;

TEST(DiskArithmetic, MapErrorBoundCoversTheRoundingOfEveryStep) {
  Random random(1);
  Tally bound("|F(w) - (w^2 + c)| <= MapErrorBound");
  for (int i = 0; i < 3'000'000 / kShare; ++i) {
    // Every fourth w and a third of the c at scales down to where the squares underflow.
    const double scale = i % 4 == 0 ? std::ldexp(1.0, -random.Int(0, 560)) : 1.0;
    const Z w{random.Uniform(-2, 2) * scale, random.Uniform(-2, 2) * scale};
    const double c_scale = i % 3 == 0 ? scale : 1.0;
    const Z c{random.Uniform(-2, 2) * c_scale, random.Uniform(-2, 2) * c_scale};
    Z f = w;
    Step(c, f);
    const Wide wr = w.re;
    const Wide wi = w.im;
    const Wide error = Abs(f.re - (wr * wr - wi * wi + c.re)) + Abs(f.im - (2 * wr * wi + c.im));
    // The rounding of the Wide sums above, far below any double's.
    const Wide slack = Wide(0x1p-100) * (wr * wr + wi * wi + AbsSum(c));
    const double limit = MapErrorBound(std::fabs(w.re), std::fabs(w.im), AbsSum(c));
    bound.Expect(error <= limit + slack, [&] { return "w " + Text(w) + " c " + Text(c); });
  }
}

// A disk around m of radius r, with a few of its doubles w: on the rim, pointed at `angle`
// within `spread` for the first half, anywhere inside for the rest.
void ExpectStepHolds(Random& random, Z m, Z c, double r, double angle, double spread,
                     Tally& enclosed, Tally& no_escape) {
  const DiskStep step = DiskStepAt(m.re * m.re + m.im * m.im, DiskConstantOfC(AbsSum(c)));
  const double next = NextRadius(step, r);
  Z fm = m;
  Step(c, fm);
  for (int k = 0; k < 16; ++k) {
    const double rho = k < 8 ? r * (1 - 1e-9) : r * random.Uniform(0, 1);
    const Z w = Random::Toward(m, rho, angle + spread * random.Uniform(-1, 1));
    if (!Inside(w, m, r)) continue;
    const auto where = [&] { return "m " + Text(m) + " c " + Text(c) + " w " + Text(w); };
    if (r < step.radius_limit) no_escape.Expect(w.re * w.re + w.im * w.im < 4.0, where);
    Z fw = w;
    Step(c, fw);
    enclosed.Expect(Inside(fw, fm, next), where);
  }
}

TEST(DiskArithmetic, OneStepMapsEveryDoubleOfADiskIntoTheNextDisk) {
  Random random(2);
  Tally enclosed("F(w) inside D(F(m), NextRadius)");
  Tally no_escape("no w of an escape-safe disk passes the escape test");
  for (int i = 0; i < 200'000 / kShare; ++i) {
    const Z c{random.Uniform(-2, 2), random.Uniform(-2, 2)};
    const double r = random.LogUniform(1e-14, 0.5);
    const double angle = random.Uniform(0, kTwoPi);
    if (i % 4 == 0) {  // near the critical point, where r^2 outgrows 2 |m| r
      const Z m = Random::Toward({}, std::ldexp(random.Uniform(0, 1), -random.Int(0, 60)), angle);
      ExpectStepHolds(random, m, c, r, 0, kTwoPi, enclosed, no_escape);
    } else if (i % 4 == 1) {  // rims reaching out to the escape circle, just inside or across it
      const double gap = i % 8 == 1 ? r * (1 + 1e-6) + 0x1p-20 : r * random.Uniform(-1, 1);
      ExpectStepHolds(random, Random::Toward({}, 2 - gap, angle), c, r, angle, 0.1, enclosed,
                      no_escape);
    } else {
      const Z m{random.Uniform(-1.9, 1.9), random.Uniform(-1.9, 1.9)};
      ExpectStepHolds(random, m, c, r, 0, kTwoPi, enclosed, no_escape);
    }
  }
}

TEST(DiskArithmetic, ClosingTheTrapRoundsTowardSafety) {
  Random random(3);
  Tally distance("DistanceAbove >= the distance");
  for (int e = 0; e <= 1074; ++e) {  // every scale, subnormals included
    for (int k = 0; k < 8; ++k) {
      const double dx = std::ldexp(random.Uniform(0.5, 1), -e);
      const double dy = k == 0 ? 0 : dx * random.Uniform(0, 2);
      const double above = DistanceAbove(dx, dy);
      distance.Expect(Square(above) >= Square(dx) + Square(dy), [&] {
        return "dx, dy " + Text({dx, dy});
      });
    }
  }
  // The last disk, at `gap` from the first's centre, lies inside the first whenever it says so.
  Tally inside("DiskInside only for a disk inside");
  int accepted = 0;
  for (int i = 0; i < 100'000; ++i) {
    const double first = random.LogUniform(1e-300, 1);
    const double gap = first * random.Uniform(0, 1.2);
    const double last = first * random.Uniform(0, 1.2);
    if (!DiskInside(gap, last, first)) continue;
    ++accepted;
    inside.Expect(Wide(gap) + last <= first, [&] { return "gap, last " + Text({gap, last}); });
  }
  EXPECT_GT(accepted, 10'000);
}

// The disk prover, with the share of a point's steps so far that the lanes allow it.
Orbit FollowWithDisks(Z c, std::int64_t cap, std::int64_t budget, int stride) {
  return Follow(c, cap, budget, stride,
                [](const ProofCandidate& candidate, std::int64_t n, std::int64_t proof_steps) {
                  return ProveInterior(candidate, n / kProofShareInverse - proof_steps);
                });
}

// Follows points with and without proofs and checks every proof: plain iteration must never
// see the point escape, and orbits started on the rim of the proof's first disk must stay
// inside the disks, recomputed here along the orbit, for three periods.
class ProofChecker {
 public:
  explicit ProofChecker(std::uint64_t seed) : random_(seed) {}

  void Check(Z c, std::int64_t cap, int stride) {
    const Orbit proved = FollowWithDisks(c, cap, kSearchBudget, stride);
    if (proved.end == End::kEscaped) ++escaped_;
    if (proved.end != End::kProven) return;
    const Orbit plain = FollowWithDisks(c, cap, kConfirmBudget, 0);
    if (plain.end != End::kUndecided) ++checked_;  // whether it escapes or not
    sound_.Expect(plain.end != End::kEscaped, [&] {
      return "c " + Text(c) + " proven, escapes at " + std::to_string(plain.count);
    });
    ExpectRimOrbitsStay(proved.proven, proved.count / kProofShareInverse - proved.proof_steps);
  }

  int checked() const { return checked_; }
  int escaped() const { return escaped_; }

 private:
  // ProveInterior's attempts replayed, to find the first disk of the one that closed.
  void ExpectRimOrbitsStay(ProofCandidate candidate, std::int64_t budget) {
    const std::int64_t candidate_period = candidate.period;
    candidate.period = std::min(candidate_period, budget);
    ProofAttempt attempt = TryProof(candidate, FirstRadii(candidate.distance));
    if (!attempt.proven && attempt.closest_radius > 0 && attempt.steps < budget) {
      candidate.z_real = attempt.end_real;
      candidate.z_imag = attempt.end_imag;
      candidate.period = std::min(candidate_period, budget - attempt.steps);
      attempt = TryProof(candidate, CloserRadii(attempt.closest_radius));
    }
    const Z c{candidate.c_real, candidate.c_imag};
    rims_.Expect(attempt.proven, [&] { return "c " + Text(c) + ": the proof does not replay"; });
    if (!attempt.proven) return;
    // The disks closed after the attempt's steps: that is the trap's period.
    const std::int64_t period = attempt.steps;
    std::vector<Z> centres(period);
    std::vector<double> radii(period);
    Z z{candidate.z_real, candidate.z_imag};
    double radius = attempt.closest_radius;
    for (std::int64_t k = 0; k < period; ++k) {
      centres[k] = z;
      radii[k] = radius;
      radius = NextRadius(DiskStepAt(Step(c, z), DiskConstantOfC(AbsSum(c))), radius);
    }
    const auto inside_after = [&](std::int64_t k, Z w) {
      return Inside(w, centres[k % period], radii[k % period]);
    };
    testing::ExpectRimOrbitsStay(random_, c, centres[0], radii[0], 1e-6, 8, period, inside_after,
                                 rims_, "its disk");
  }

  Random random_;
  Tally sound_{"a proof is confirmed by plain iteration"};
  Tally rims_{"orbits from the rim of a proof's first disk stay in the disks"};
  int checked_ = 0;
  int escaped_ = 0;
};

TEST(InteriorProof, ProofsOnDeepViewsHold) {
  Random random(4);
  ProofChecker checker(5);
  for (int clicks = 8; clicks <= 20; clicks += 2) {
    const ViewState view = testing::Dive(clicks);
    for (int i = 0; i < 2000 / kShare; ++i) {
      checker.Check(RandomPixel(random, view), 16 * std::int64_t{view.Zoom}, 8);
    }
  }
  const int dive_proofs = checker.checked();
  std::mt19937 clicks(6);
  for (int v = 0; v < 100 / kShare; ++v) {
    ViewState view;
    do view = testing::RandomView(clicks, 20);
    while (view.Zoom < 1 << 8);
    for (int i = 0; i < 50; ++i) {
      checker.Check(RandomPixel(random, view), 16 * std::int64_t{view.Zoom}, 8);
    }
  }
  // Proofs checked by plain iteration to the end, on the dives and on the random paths.
  EXPECT_GT(dive_proofs, 600 / kShare);
  EXPECT_GT(checker.checked() - dive_proofs, 300 / kShare);
  EXPECT_GT(checker.escaped(), 10'000 / kShare);
}

TEST(InteriorProof, ProofsNearParabolicPointsHold) {
  // Roots of the cardioid (at 0, 1/2, 1/3, 1/4, 2/5 and 3/7 of a turn) and of bulbs beyond it,
  // each with the direction of the boundary there, along which the points lie outside. Near a
  // root, orbits linger by a cycle whose multiplier is about 1, inside the set and outside.
  std::vector<std::pair<Z, Z>> roots{{{-1.25, 0}, {0, 1}},
                                     {{-1.75, 0}, {0, 1}},
                                     {{-1.125, 0.21650635094610965}, {-0.8660254037844386, -0.5}}};
  for (const double turn : {0.0, 1 / 2.0, 1 / 3.0, 1 / 4.0, 2 / 5.0, 3 / 7.0}) {
    const double t = kTwoPi * turn;
    roots.push_back({{std::cos(t) / 2 - std::cos(2 * t) / 4, std::sin(t) / 2 - std::sin(2 * t) / 4},
                     {std::cos(1.5 * t), std::sin(1.5 * t)}});
  }
  ProofChecker checker(7);
  int index = 0;
  for (const auto& [root, out] : roots) {
    for (int e = 0; e < 8; ++e) {
      const double eps = std::pow(10.0, -1.5 - e);
      for (int k = 0; k < 27; ++k, ++index) {
        if (index % kShare != 0) continue;
        // Around the root, then along the boundary both ways, where orbits escape slowly, and
        // at a point much nearer.
        const double along = k == 26 ? eps * eps : (k % 2 == 0 ? eps : -eps) * (1 + k / 2 % 6);
        const Z c = k < 14 ? Random::Toward(root, eps, kTwoPi * k / 14 + 0.01)
                           : Z{root.re + along * out.re, root.im + along * out.im};
        checker.Check(c, std::int64_t{1} << 18, 1);
      }
    }
  }
  EXPECT_GT(checker.checked(), 400 / kShare);
  EXPECT_GT(checker.escaped(), 250 / kShare);
}

// The proposals a point's orbit makes as Follow finds them, proven or not, each with a budget
// around the one Follow would give it, up to `steps`.
void CollectProposals(Z c, std::int64_t steps, std::vector<ProofCandidate>& candidates,
                      std::vector<std::int64_t>& budgets) {
  Z z;
  Z checkpoint;
  double closest = std::numeric_limits<double>::infinity();
  std::int64_t closest_at = 0;
  for (std::int64_t n = 1, window_end = 64; n <= steps; ++n) {
    if (Step(c, z) >= 4.0) return;
    const double d = std::max(std::fabs(z.re - checkpoint.re), std::fabs(z.im - checkpoint.im));
    if (n % 8 == 0 && d < closest) {
      closest = d;
      closest_at = n;
    }
    if (n < window_end) continue;
    if (n > 64 && closest < 1e-2) {
      candidates.push_back({c.re, c.im, z.re, z.im, closest_at - n / 2, closest});
      // From twice Follow's share down to a quarter of it, so that some budgets run out.
      budgets.push_back(n / (8 << (candidates.size() % 4)));
    }
    checkpoint = z;
    window_end *= 2;
    closest = std::numeric_limits<double>::infinity();
  }
}

// The kernel's prover, a batch of proposals at a time with vectors of radii, gives
// ProveInterior's outcome on every target: the same proofs after the same steps.
using KernelProver = testing::EveryTarget;

TEST_P(KernelProver, ProvesAsTheScalarProver) {
  Random random(8);
  std::vector<ProofCandidate> candidates;
  std::vector<std::int64_t> budgets;
  for (int clicks = 10; clicks <= 20; clicks += 2) {
    const ViewState view = testing::Dive(clicks);
    for (int i = 0; i < 400 / kShare; ++i) {
      CollectProposals(RandomPixel(random, view), std::int64_t{1} << 16, candidates, budgets);
    }
  }
  std::vector<ProofOutcome> outcomes(candidates.size());
  ProveProposalsBody(candidates.data(), budgets.data(), outcomes.data(),
                     static_cast<int>(candidates.size()));
  int proven = 0;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    const ProofOutcome scalar = ProveInterior(candidates[i], budgets[i]);
    ASSERT_EQ(outcomes[i].proven, scalar.proven) << "proposal " << i;
    ASSERT_EQ(outcomes[i].steps, scalar.steps) << "proposal " << i;
    proven += scalar.proven;
  }
  EXPECT_GT(proven, 200 / kShare);
  EXPECT_GT(static_cast<int>(candidates.size()) - proven, 200 / kShare);
}

INSTANTIATE_TEST_SUITE_P(Targets, KernelProver, ::testing::ValuesIn(SupportedKernelTargets()),
                         testing::TargetName);

}  // namespace
}  // namespace fractal::kernel_detail
