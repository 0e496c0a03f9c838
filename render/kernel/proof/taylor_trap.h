// Interior proofs that close far from the cycle: a disk around a point of the attracting cycle,
// carried through p steps as a polynomial in the disk's coordinate plus a remainder.
//
// The disk chain (proof/interior_proof.h) bounds each image disk by absolute values at every
// step, so it forgets the phases of the cycle's coefficients, which cancel heavily; and it is
// centred on the orbit, whose own return distance must fit in the margin. It closes only within
// about 1e-10 to 1e-8 of the cycle. The trap here keeps the phases until the end, and closes at
// 1e-5 to 1e-4, where slow orbits are thousands of periods earlier.
//
// The argument. F is the double map as the lanes compute it (escape_time.h's StepOrbit), f(z) =
// z^2 + c the exact one, and D(m, r) the closed disk of radius r around m. Given any centre m (it
// comes from Newton's method and is not trusted), a radius r, a degree D and a number of steps p:
// 1. Every double w of D(m, r) is T_0(t) = m + r t for some complex t with |t| <= 1.
// 2. Suppose every double reached from D(m, r) in k steps is T_k(t) + d with |d| <= e_k, where
//    T_k(t) = sum_{j <= D} a_kj t^j. For y = T_k(t) + d,
//      F(y) - T_{k+1}(t) = [F(y) - (y^2 + c)] + [2 T_k(t) d + d^2] + [T_k(t)^2 + c - T_{k+1}(t)].
//    The first is the map's rounding, at most MapErrorBound (disk_bounds.h) of bounds on |Re y| and
//    |Im y|; the second at most 2 S_k e_k + e_k^2, S_k >= sum_j |a_kj| >= |T_k(t)|; the third is
//    the degrees above D, at most the sum of |a_ki| |a_kj| over i + j > D (|t| <= 1), and the
//    rounding of the computed coefficients of T_{k+1}. Their sum, rounded up, is e_{k+1}.
// 3. If S_k + e_k < 2 - 2^-20 for every k < p, no double reached in fewer than p steps passes
//    the escape test (disk_bounds.h's escape limit).
// 4. If |a_p0 - m| + sum_{j >= 1} |a_pj| + e_p <= r, F^p maps every double of D(m, r) into
//    D(m, r). With 3, no orbit from a double of the disk ever passes the escape test.
// 5. If the lane's state z lies in D(m, r), the plain loop from z can only stop at the cap.
// Every bound is computed in double, rounded to nearest. All its terms are non-negative, so, as
// in disk_bounds.h, a factor 1 + 2^-44 and an absolute 2^-999 dominate what the roundings lose.
#pragma once

#include <array>
#include <cstdint>

#include "render/kernel/proof/cycle_estimate.h"
#include "render/kernel/proof/interior_proof.h"

namespace fractal::kernel_detail {

inline constexpr int kMaxTrapDegree = 6;

// T_k and e_k of step 2. Coefficients above `degree` are zero.
struct TaylorModel {
  int degree = 0;
  std::array<Complex, kMaxTrapDegree + 1> a{};
  double remainder = 0;
};

// The model of D(m, r) before any step: T_0(t) = m + r t, e_0 = 0.
TaylorModel StartModel(Complex centre, double radius, int degree);

// The terms of step 2's remainder at one step, each an upper bound, for tests to hold against
// arithmetic of higher precision.
struct ModelStep {
  double reach = 0;         // S_k + e_k: no state of the model lies farther from 0
  double map_rounding = 0;  // F(y) - (y^2 + c)
  double spread = 0;        // 2 T_k d + d^2
  double left_out = 0;      // T_k^2 + c - T_{k+1}: the degrees above D and the coefficients'
                            // rounding
};

// Steps the model once: T_{k+1} and e_{k+1} from T_k and e_k.
ModelStep StepModel(Complex c, TaylorModel& model);

// Whether no state of a model with this reach can pass the escape test (step 3).
bool BelowEscape(const ModelStep& step);

// Whether the model after p steps lies inside D(m, r) (step 4).
bool ModelInside(const TaylorModel& model, Complex centre, double radius);

struct TrapOutcome {
  bool proven = false;
  std::int64_t steps = 0;  // model steps run
  // If the model ran every step but did not close: a wider radius that might, or 0.
  double wider = 0;
};

// Steps 1 to 5 for the lane's state z = (candidate.z_real, candidate.z_imag) and p =
// candidate.period, around `centre` with `radius`.
TrapOutcome ProveByTrap(const ProofCandidate& candidate, Complex centre, double radius, int degree);

struct TaylorAttempt {
  bool proven = false;
  std::int64_t newton_steps = 0;
  std::int64_t model_steps = 0;
  std::int64_t period = 0;  // the steps after which the orbit came back nearest
  Complex centre;           // the trap tried, if any: its disk
  double radius = 0;
  // When not proven: the steps after which the orbit should be near enough for a trap, as the
  // cycle's multiplier predicts; 0 if there is no prediction.
  double steps_to_wait = 0;
};

// Newton's centre from the lane's state, then, if the orbit is near enough the cycle for its
// multiplier and curvature, a trap of degree `degree` just wide enough to hold the state. Unless
// `exact_period`, the candidate's period may be a few steps off, and the orbit's return is looked
// for around it first.
TaylorAttempt TryTaylorTrap(const ProofCandidate& candidate, int degree, bool exact_period);

}  // namespace fractal::kernel_detail
