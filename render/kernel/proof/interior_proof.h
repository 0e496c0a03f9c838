// Proofs that a point's orbit never escapes, found long before the orbit repeats exactly.
//
// The lanes propose a candidate: a state z_n their orbit reached while passing every escape
// test, a number of steps p after which the orbit came back close to an earlier state, and how
// close. The prover follows the orbit from z_n with the lanes' own IEEE operations, so that its
// states are the lanes' states bit for bit, and carries a disk around each state: each disk's
// radius bounds where the double map can take any double of the disk before, rounding included
// (proof/disk_bounds.h). If no disk so far holds a double that passes the escape test, and the
// latest disk lies inside the first, then every state from z_n on stays inside the disks
// forever: the plain loop can only stop at the cap, and that is the count.
//
// The number of steps need not be the orbit's period: the disks are checked after every step,
// so a proof closes as soon as the orbit is back, after p steps at most.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

#include "render/kernel/proof/disk_bounds.h"
#include "render/kernel/tuning.h"

namespace fractal::kernel_detail {

// Radii tried at once (tuning.h has the measurement).
inline constexpr int kProofRadii = tuning::kProofRadii;
using ProofRadii = std::array<double, kProofRadii>;

struct ProofCandidate {
  double c_real = 0;
  double c_imag = 0;
  double z_real = 0;  // a state the orbit reached passing every escape test
  double z_imag = 0;
  std::int64_t period = 0;  // at least 1
  double distance = 0;      // how close the orbit came back after `period` steps
};

// One attempt: radii of the first disk in ascending order (those not above zero are left out).
struct ProofAttempt {
  bool proven = false;
  std::int64_t steps = 0;  // disk steps run: the orbit steps, every radius alongside
  double end_real = 0;     // the orbit's state after them
  double end_imag = 0;
  // The first radius whose last disk fits inside its first if proven; otherwise the first
  // radius whose last disk came closest to fitting; 0 if every radius failed before the end.
  double closest_radius = 0;
};

// The first attempt's radii: far apart around the candidate's distance, which is roughly what
// the first disk must hold. The next attempt's: closer together around the one that came
// closest to fitting.
ProofRadii FirstRadii(double distance);
ProofRadii CloserRadii(double closest);

// The radii with a first radius above zero, as bits.
unsigned LiveRadii(const ProofRadii& first);

namespace {  // uses the disk arithmetic, which has internal linkage

// Where the orbit stands after a disk step, against the first disk.
enum class Return {
  kAway,    // not back within the largest first radius still alive
  kOpen,    // back, but no radius's latest disk fits inside its first
  kClosed,  // some radius's latest disk fits inside its first: proven
};

// The orbit counts as back once within the largest first radius still alive, as it must be
// for any disk to fit: the distance's bound is at least max(dx, dy), and first radii ascend.
inline Return ReturnOf(double z0_real, double z0_imag, double z_real, double z_imag,
                       const ProofRadii& first, const ProofRadii& last, unsigned alive) {
  const double dx = std::fabs(z_real - z0_real);
  const double dy = std::fabs(z_imag - z0_imag);
  if (alive == 0 || !(std::max(dx, dy) < first[31 - __builtin_clz(alive)])) return Return::kAway;
  const double distance = DistanceAbove(dx, dy);
  for (unsigned bits = alive; bits != 0; bits &= bits - 1) {
    const int j = __builtin_ctz(bits);
    if (DiskInside(distance, last[j], first[j])) return Return::kClosed;
  }
  return Return::kOpen;
}

}  // namespace

// At a return that does not close, the radii whose disk came back larger than it started. The
// orbit's contraction over its cycle has not made up for the disk's growth, so they are dropped.
// The others run on: near a cycle whose multiplier is close to 1, a disk shrinks by little at
// each turn, and the orbit comes back closest only after it has wound round the cycle point, many
// turns later. This is how proofs are tried, not part of what makes them hold.
inline unsigned GrownRadii(const ProofRadii& first, const ProofRadii& last, unsigned alive) {
  unsigned grown = 0;
  for (unsigned bits = alive; bits != 0; bits &= bits - 1) {
    const int j = __builtin_ctz(bits);
    if (last[j] > first[j]) grown |= 1u << j;
  }
  return grown;
}

// The first radius of `alive` whose last disk, around z, fits inside its first, around z0, or
// else the one that came closest to fitting; 0 if none is alive.
double ClosestRadius(double z0_real, double z0_imag, double z_real, double z_imag,
                     const ProofRadii& first, const ProofRadii& last, unsigned alive);

// Runs the candidate's period in steps at most.
ProofAttempt TryProof(const ProofCandidate& candidate, const ProofRadii& radii);

struct ProofOutcome {
  bool proven = false;
  std::int64_t steps = 0;
};

// Tries radii spaced far apart around the candidate's distance and, if some radius came
// through without meeting the escape test, radii closer together around the best one over the
// next steps. No attempt runs past `step_budget` steps in all.
ProofOutcome ProveInterior(const ProofCandidate& candidate, std::int64_t step_budget);

}  // namespace fractal::kernel_detail
