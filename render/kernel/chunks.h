// What the feeder hands the kernel's vector body, and the body's two entry points. The body is
// compiled once per instruction set (body.cpp); Highway picks the one this CPU runs best.
//
// Plain pointers and function pointers on purpose: every target's copy of the body sees the
// same layout, and no library template is instantiated inside a target's code.
#pragma once

#include <cstdint>

#include "render/kernel/proof/interior_proof.h"

namespace fractal::kernel_detail {

// Points already reduced to plane coordinates, one after another, for the fixed groups.
struct RowTask {
  const double* c_real = nullptr;  // (x + offset_x) * scale of each point
  const double* c_imag = nullptr;  // (y + offset_y) * scale of each point's row
  std::int32_t* counts = nullptr;  // one per point
  std::int64_t size = 0;
  std::int64_t cap = 0;  // at least 1
};

// How far the lanes iterate.
struct LaneLimits {
  std::int64_t cap = 0;               // at least 1
  std::int64_t cycle_check_from = 0;  // count from which lanes look for cycles: a multiple of 8
  std::int64_t propose_from = 0;      // count from which lanes propose returns for proofs
  std::int64_t trap_from = 0;         // count from which proposals may try a Taylor trap first
};

// Lanes whose c has |cr| + |ci| below this may step without escape tests and test only the last
// state of a block: for such c, a state that fails the test is followed only by states that
// fail it too, or by infinities and NaNs (lanes/untested-inl.h has the argument).
inline constexpr double kUntestedBelow = 1.99;

// Points handed to the lanes together: those of one or more rows.
struct PointChunk {
  const double* c_real = nullptr;
  const double* c_imag = nullptr;
  std::int32_t* counts = nullptr;
  std::int64_t* work = nullptr;  // the iterations the lanes ran for each point
  std::int64_t size = 0;         // at least 1
  std::int64_t unfinished = 0;   // points whose count is not written yet
};

// Where the lane scheduler takes its points: chunk after chunk as lanes free up, so that the
// slowest points of one chunk run alongside the points of the next ones instead of alone.
struct PointFeed {
  void* context = nullptr;
  PointChunk* (*next)(void* context) = nullptr;  // nullptr once there are no more points
  void (*finished)(void* context, PointChunk& chunk) = nullptr;  // every count is written
  bool (*abandoned)(void* context) = nullptr;  // if true, stop; unfinished chunks are dropped
  LaneLimits limits;
};

// What a computation has done so far. 64 bits: one point alone may take more than 2^31 steps.
struct KernelWork {
  std::uint64_t executed = 0;     // lane iterations, and the orbit steps of interior proofs
  std::uint64_t proof_steps = 0;  // the orbit steps of interior proofs alone
  std::uint64_t proven = 0;       // points counted by an interior proof
  std::uint64_t trap_steps = 0;   // the Newton and model steps of Taylor traps (in proof_steps)
  std::uint64_t trapped = 0;      // points a Taylor trap proved (in proven)
  std::uint64_t undecided = 0;    // points that reached the cap with no cycle or proof
};

// The lane scheduler: refills lanes as points finish, looks for cycles and proves interiors.
void ComputeFedBody(const PointFeed& feed, KernelWork& work);
// Proposes each candidate, with its step budget, from a lane of its own to the side prover that
// drawings use, and runs the prover until every proof has ended: the outcome of each (for tests,
// which hold it to ProveInterior's).
void ProveProposalsBody(const ProofCandidate* candidates, const std::int64_t* budgets,
                        ProofOutcome* outcomes, int count);
// Small caps: fixed groups of consecutive points run until the whole group is done, with no
// refills and no cycle checks.
void ComputeGroupsBody(const RowTask& task, KernelWork& work);

}  // namespace fractal::kernel_detail
