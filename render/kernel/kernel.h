// The escape-time kernel behind every drawing: the counts of rows of points, computed with the
// best instruction set this CPU has. The vector body is written once on Google Highway and
// compiled for every target Highway offers on this processor family; every target gives
// bit-identical counts to EscapeCount.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "render/kernel/escape_time.h"

namespace fractal {

// An instruction set the kernel is compiled for: one of Highway's target bits.
struct KernelTarget {
  std::int64_t bits = 0;
  bool operator==(const KernelTarget&) const = default;
};

// Counts of one row at view y, one per view x in `xs`, into `counts` (same size as `xs`).
void ComputeRow(const EscapeParams& params, double y, std::span<const double> xs,
                std::span<std::int32_t> counts);

// Counts of consecutive rows at once, row after row into `counts` (ys.size() * xs.size()). A lane
// freed by one row's points takes the next row's, so a few slow points at the end of a row do not
// leave the vector units idle.
void ComputeRows(const EscapeParams& params, std::span<const double> ys, std::span<const double> xs,
                 std::span<std::int32_t> counts);

// Hands rows to ComputeFed a few at a time and takes their counts back, on ComputeFed's thread.
// A feed may also set some points apart, to be counted ahead of every row: those it expects to
// take longest, so that they do not start last and hold up the end of the drawing.
class RowFeed {
 public:
  struct Rows {
    std::size_t first = 0;  // index in the ys given to ComputeFed
    std::size_t count = 0;
  };
  virtual ~RowFeed() = default;
  // The next rows to compute; none (count 0) once there are no more.
  virtual Rows Take() = 0;
  // Rows taken earlier, all counted but the points set apart: their counts row after row (0 for
  // a point set apart), the iterations the kernel ran for each point, and whether the plain loop
  // raises an invalid operation, division by zero or overflow on them.
  virtual void Finished(Rows rows, std::span<const std::int32_t> counts,
                        std::span<const std::int64_t> work, bool fault) = 0;
  // Which points are set apart: one per point, row * xs.size() + column, non-zero for a point
  // that TakeApart hands out, not its row; or empty, for none. It stays as it is while the
  // computation runs.
  virtual std::span<const char> ApartMask() { return {}; }
  // The next few points set apart, each as row * xs.size() + column; none once there are no more.
  // ComputeFed takes them all before it takes any rows.
  virtual std::span<const std::int32_t> TakeApart() { return {}; }
  // Points TakeApart handed out, counted: as Finished, point by point.
  virtual void FinishedApart(std::span<const std::int32_t> /*points*/,
                             std::span<const std::int32_t> /*counts*/,
                             std::span<const std::int64_t> /*work*/, bool /*fault*/) {}
  // Once true, ComputeFed stops soon, leaving the rows it has not finished.
  virtual bool Abandoned() = 0;
};

// The batches of rows a computation has in flight. Each worker owns one and hands it to every
// ComputeFed it runs, so that the batches' memory is reused from one view to the next.
class KernelScratch {
 public:
  struct Batches;  // defined by the kernel
  KernelScratch();
  ~KernelScratch();
  KernelScratch(const KernelScratch&) = delete;
  KernelScratch& operator=(const KernelScratch&) = delete;
  Batches& batches() { return *batches_; }

 private:
  std::unique_ptr<Batches> batches_;
};

// Computes the rows `feed` hands out until it has no more or abandons them. Lanes freed by one
// batch of rows take the next batch's points, so the slowest points of a batch run alongside
// later batches instead of alone; batches may therefore finish out of order. The thread's
// floating-point status is as the plain loop leaves it.
void ComputeFed(const EscapeParams& params, std::span<const double> ys, std::span<const double> xs,
                RowFeed& feed, KernelScratch& scratch);

// Caps up to this run fixed groups of consecutive points until the whole group is done, without
// refilling lanes or looking for cycles; larger caps go through the lane scheduler.
inline constexpr std::int32_t kKernelGroupCapLimit = 128;

// The targets this build has and this CPU runs, best first; the last is Highway's scalar one.
std::vector<KernelTarget> SupportedKernelTargets();
bool KernelTargetSupported(KernelTarget target);
// The target ComputeRow and ComputeRows use now: the best supported one unless one is forced.
KernelTarget ActiveKernelTarget();
// Forces a supported target (for tests and benchmarks); std::nullopt returns to the best one.
// Throws std::invalid_argument for a target this build or this CPU lacks.
void ForceKernelTarget(std::optional<KernelTarget> target);

// What ComputeRow and ComputeRows have done, for benchmarks. Rows on any thread add to it.
struct KernelStats {
  std::atomic<std::uint64_t> rows{0};
  std::atomic<std::uint64_t> points{0};
  // Iterations actually run, one per lane holding a point per step: a count that stopped early
  // through cycle detection adds less than the count, the steps a lane waits between escaping
  // and the next look at the lanes add more.
  std::atomic<std::uint64_t> executed_iterations{0};
  // Points whose count is the cap because an interior proof showed that their orbit never
  // escapes, and the orbit steps the proofs ran (disk steps, counted in executed_iterations too).
  std::atomic<std::uint64_t> proven_points{0};
  std::atomic<std::uint64_t> proof_steps{0};
  // Of those, the points a Taylor trap proved and its Newton and model steps.
  std::atomic<std::uint64_t> trapped_points{0};
  std::atomic<std::uint64_t> trap_steps{0};
  // Points of the lane scheduler that ran to the cap undecided: no exact repeat, no proof.
  std::atomic<std::uint64_t> undecided_points{0};
};

// The kernel adds to `stats` from now on; nullptr stops it. The caller keeps `stats` alive.
void SetKernelStats(KernelStats* stats);

// Cycle detection, on unless switched off (for tests and benchmarks): off, every point iterates
// until it escapes or reaches the cap. The counts are the same either way.
void SetCycleDetection(bool on);

const char* KernelTargetName(KernelTarget target);

}  // namespace fractal
