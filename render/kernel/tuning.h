// Every constant of the engine that was chosen by measurement, beside the measurement that chose
// it. None of them changes a count: they decide only how fast the counts come. Constants that a
// count or a proof depends on live with the argument that makes them right (lanes/untested-inl.h,
// proof/disk_bounds.h).
//
// The views the measurements name:
// - "dive N": the view after N clicks from the initial view, each at the pixel nearest
//   -0.743643887037151 + 0.131825904205330i, a point of the set's boundary that keeps showing
//   detail however far one zooms. Its cap is 16 * 2^N: dive 16 has 2^20, dive 22 2^26.
// - "centre N": the view after N clicks at the surface's centre, almost all inside the set.
// Each drawing was measured after its parent view, as a click reaches it (bench/fractal_bench), on
// two threads of an AVX-512 machine unless a figure says otherwise.
#pragma once

#include <cstdint>

namespace fractal::kernel_detail::tuning {

// ---- The feeder: which views the lanes look for cycles and proofs on.

// Lanes look for cycles once some lane has run this many iterations.
inline constexpr std::int64_t kCycleCheckFrom = 64;
// Lanes propose returns for interior proofs from this count on, where the cap is at least
// kProposeFromCap: a proposal costs as much as a few hundred iterations, tracking returns slows
// every iteration a little, and below these exact cycle detection decides most points anyway (at
// dive 16, cap 2^20, they cost about 4 % of the drawing and saved nothing).
inline constexpr std::int64_t kProposeFrom = 2048;
inline constexpr std::int64_t kProposeFromCap = std::int64_t{1} << 21;

// ---- The lanes' schedule (lanes/runs-inl.h).

// Vectors a run interleaves, so that one orbit's latency hides behind the others'.
inline constexpr int kMaxVectors = 4;
// Iterations between looks at the lanes.
inline constexpr int kBlock = 8;
// Blocks that track returns (deep views only) are this many blocks long: there a look at the lanes
// costs most, and orbits rarely end, so a longer block wastes little. 16 steps drew dives 24 and
// 26 7-9 % faster than 8; 32 proved half as many points at dive 20, as returns are only seen at
// block ends.
inline constexpr int kTrackedBlocks = 2;
// Blocks a run takes at most before it returns: about a tenth of a millisecond of iterations on
// four vectors, so that a worker notices soon that its view was abandoned.
inline constexpr std::int64_t kMaxBlocksPerRun = 1 << 12;
// The last few lanes of a dry feed run on two-lane vectors: a few orbits run no faster in wide
// vectors, whose clock is lower on some processors (a lone orbit at dive 26 took 1.13 s in 512-bit
// vectors, 0.84 s in 128-bit ones). Lanes per narrow vector:
inline constexpr int kNarrowVectorLanes = 2;

// ---- Exact cycle detection (lanes/checkpoints-inl.h).

// Checkpoint windows double up to this count, and are a quarter of the count from there on (deep
// views only).
inline constexpr std::int64_t kWindowFrom = 1024;
// Only every fourth state is compared with the checkpoint: a cycle of period p is still found
// once the window between checkpoints exceeds 4p, and the comparisons cost a quarter.
inline constexpr int kCycleCompareEvery = 4;

// ---- Proposals for interior proofs (lanes/checkpoints-inl.h).

// A closest return this near the checkpoint is proposed for an interior proof.
inline constexpr double kProposeBelow = 1e-2;
// Blocks a proposal may wait for others before its run returns, so that proposals do not end a
// run each; the prover then starts from the lane's state at the return, a little further along
// the same orbit.
inline constexpr std::int64_t kProposalWait = 16;

// ---- Leaders (lanes/leaders-inl.h).

// Orbits that have run this long may lead: one that runs much longer still would hold up the end
// of the drawing if it ran at the pace of every other lane.
inline constexpr std::int64_t kLeadFrom = std::int64_t{1} << 16;
// Runs between two looks for leaders. Where points finish every few blocks, a look at every run
// cost 15 % of a drawing at dive 8; a leader that starts a few runs late loses nothing.
inline constexpr int kRunsPerLeaderLook = 16;
// The leaders' vector runs this many steps for each step of the others. A run on several vectors
// waits on the core's arithmetic units, not on any one orbit's latency, so the leaders run about
// three times as fast and the lanes together as fast as before (at dives 22 and 26, 3 steps drew
// 6-7 % faster than 1, 4 a little less, 8 slower than 1: the registers run out).
inline constexpr int kLeaderSteps = 3;
// In blocks without escape tests a step is 7 operations instead of 11, and the leaders' chain of
// dependent operations sets the pace: there 2 steps drew dives 20 to 24 10-16 % faster than 3.
inline constexpr int kLeaderStepsUntested = 2;

// ---- The prover (proof/).

// Radii tried at once. They share the orbit steps, but each costs the prover four operations a
// step: 4 drew dive 22 about 6 % faster than 8, with as many points proven; 3 and 2 proved fewer.
inline constexpr int kProofRadii = 4;
// Proofs spend at most this share of a point's iterations (1/16), so that points that escape in
// the end pay little for having looked periodic for a while. 1/32 and 1/24 were within noise of
// it at dives 20 to 26, with 2-6 % more iterations.
inline constexpr std::int64_t kProofShareInverse = 16;
// Proposals in flight, per prover lane (at least 16 in all); later ones are dropped until some
// proof ends.
inline constexpr int kProposalsPerProverLane = 4;
inline constexpr int kMinProposalsInFlight = 16;
// Prover steps between two looks at the feed, about as long as one of the lanes' runs: an attempt
// may run for millions of steps, and a worker must notice soon that its view was abandoned.
inline constexpr std::int64_t kMaxProverSteps = 1 << 12;
// The prover steps while at least this share of its lanes is busy (3 in 4), or while every live
// lane waits on a proof. A prover step costs as much whether a lane is busy or not: from half
// busy, dive 22 ran 4 % longer (2 % fewer iterations, but the prover's steps cost more than they
// saved).
inline constexpr int kProverBusyNumerator = 3;
inline constexpr int kProverBusyDenominator = 4;

// ---- Taylor traps (proof/taylor_trap.h).

// A proposal's steps are a block's end, up to two blocks past the orbit's true return: traps look
// for the return this many steps beyond them.
inline constexpr std::int64_t kReturnSlack = 2 * kBlock * kTrackedBlocks;
// Newton's rounds at most, and the correction, as a share of the first, at which the centre is
// good enough: the trap's margin is a small part of its radius, which is about the first
// correction.
inline constexpr int kNewtonRounds = 8;
inline constexpr double kNewtonSettled = 0x1p-12;
// A trap is tried once the orbit is within this many times the reach its cycle's multiplier and
// curvature predict, with a radius this many times the orbit's distance from the centre. (A radius
// of the reach itself, where the orbit is nearer, fails on strongly contracting cycles: the disk's
// images between its returns outgrow the escape circle.)
inline constexpr double kTrapReachFactor = 4.0;
inline constexpr double kTrapRadiusOverDistance = 1.05;
// A trap that ran its steps but did not close, because rounding and the centre's displacement
// fill its margin, is tried once more with this many times the radius they fit into, if that is
// at most kTrapWiderAtMost times the first.
inline constexpr double kTrapWiderMargin = 1.5;
inline constexpr double kTrapWiderAtMost = 8.0;
// A trap whose disk would spread, over the steps of one period, to more than this (its radius
// times the largest derivative along the orbit) is not tried. Of 213 traps on the 16 slowest points
// of dive 22, none with a spread above 2.1e-5 proved; of the 102 above 1e-4, 100 left the escape
// circle on the way and 2 did not close. Dive 24 drew 2 % faster with it, dives 20 and 22 within
// noise, with 6-16 % fewer trap steps.
inline constexpr double kTrapWidestSpread = 1e-4;
// The model's degree. Degree 3 and 4 drew dives 20 to 24 within 2 % of each other (4 ran 1-3 %
// fewer iterations), degree 2 ran 6-11 % more iterations.
inline constexpr int kTrapDegree = 4;
// Traps are tried on orbits from this count, with a return of at most kTrapLongestPeriod steps. A
// trap's Newton and model steps are scalar, each costing the time of 10 to 100 of the lanes'
// iterations, so they pay only on the longest orbits. From count 2^12 the traps cut the executed
// iterations of dives 20 and 22 to 0.64 times, but drew them 1.3-1.6 times slower. From 2^20 they
// cut them to 0.78, 0.73, 0.68 and 0.72 times at dives 20, 22, 24 and 26, whose drawings took
// 0.98, 0.92, 0.84 and 1.02-1.04 times as long as without traps; from 2^21 the drawings took 1.00,
// 0.99-1.01, 1.05-1.06 and 1.00 times as long as from 2^20, and from 2^19 1.03, 1.06 and 1.08
// (best of 3, 2 threads, two alternating runs; no traps at dives 20-24 and 2^19 one run).
inline constexpr std::int64_t kTrapFrom = std::int64_t{1} << 20;
inline constexpr std::int64_t kTrapLongestPeriod = 65536;

// ---- Fixed groups (groups-inl.h).

// A fixed group runs two vectors; one-lane vectors need four orbits to hide their latency.
inline constexpr int kGroupVectors = 2;
inline constexpr int kGroupVectorsOfOneLane = 4;

}  // namespace fractal::kernel_detail::tuning
