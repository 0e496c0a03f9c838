// Proofs that a point's orbit never escapes, found long before the orbit repeats exactly.
//
// The lanes propose a candidate: a state z_n their orbit reached while passing every escape
// test, a period p after which the orbit came back close to an earlier state, and how close.
// The prover follows the orbit p steps from z_n with the lanes' own IEEE operations, so that its
// states are the lanes' states bit for bit, and carries a disk around each state. Each disk's
// radius bounds where the double map can take any double of the disk before, rounding included.
// If no disk holds a double that passes the escape test, and the p-th disk lies inside the
// first, then every state from z_n on stays inside the disks forever: the plain loop can only
// stop at the cap, and that is the count.
//
// The period need not be the orbit's true one, nor a period at all: the proof closes or fails.
#pragma once

#include <array>
#include <cstdint>

namespace fractal::kernel_detail {

// Radii tried at once: they share the orbit steps, so a few more cost little.
inline constexpr int kProofRadii = 8;

struct ProofCandidate {
  double c_real = 0;
  double c_imag = 0;
  double z_real = 0;  // a state the orbit reached passing every escape test
  double z_imag = 0;
  std::int64_t period = 0;  // at least 1
  double distance = 0;      // how close the orbit came back after `period` steps
};

// One attempt: radii of the first disk (those not above zero are left out).
struct ProofAttempt {
  bool proven = false;
  std::int64_t steps = 0;  // disk steps run: the orbit steps, every radius alongside
  double end_real = 0;     // the orbit's state after them
  double end_imag = 0;
  double distance = 0;  // an upper bound on |end - z|, once the period is run
  // The first radius whose last disk came closest to fitting inside its first; 0 if every
  // radius failed before the end.
  double closest_radius = 0;
};

// The first attempt's radii: far apart around the candidate's distance, which is roughly what
// the first disk must hold. The next attempt's: closer together around the one that came
// closest to fitting.
std::array<double, kProofRadii> FirstRadii(double distance);
std::array<double, kProofRadii> CloserRadii(double closest);

ProofAttempt TryProof(const ProofCandidate& candidate,
                      const std::array<double, kProofRadii>& radii);

struct ProofOutcome {
  bool proven = false;
  std::int64_t steps = 0;
};

// Tries radii spaced far apart around the candidate's distance and, if some radius came
// through the period without meeting the escape test, radii closer together around the best
// one over the next period. Starts no attempt once the steps have reached `step_budget`.
ProofOutcome ProveInterior(const ProofCandidate& candidate, std::int64_t step_budget);

}  // namespace fractal::kernel_detail
