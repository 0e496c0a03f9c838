// Turns rows into chunks of points for the kernel's body, hands their counts back, and keeps the
// floating-point status the plain loop's whatever the target.
#include <algorithm>
#include <cfenv>
#include <cmath>
#include <deque>
#include <stdexcept>
#include <vector>

#include "render/kernel/batch_maker.h"
#include "render/kernel/chunks.h"
#include "render/kernel/kernel.h"
#include "render/kernel/tuning.h"
#include "runtime/runtime.h"

namespace fractal {
namespace {

namespace tuning = kernel_detail::tuning;

using kernel_detail::Batch;
using kernel_detail::BatchMaker;

constexpr std::int64_t kNoCycleCheck = std::int64_t{1} << 40;  // beyond every cap

std::atomic<bool> cycle_detection{true};
std::atomic<KernelStats*> stats_sink{nullptr};

void AddStats(std::uint64_t rows, std::uint64_t points, const kernel_detail::KernelWork& work) {
  KernelStats* stats = stats_sink.load(std::memory_order_relaxed);
  if (stats == nullptr) return;
  stats->rows.fetch_add(rows, std::memory_order_relaxed);
  stats->points.fetch_add(points, std::memory_order_relaxed);
  stats->executed_iterations.fetch_add(work.executed, std::memory_order_relaxed);
  stats->proof_steps.fetch_add(work.proof_steps, std::memory_order_relaxed);
  stats->proven_points.fetch_add(work.proven, std::memory_order_relaxed);
  stats->trap_steps.fetch_add(work.trap_steps, std::memory_order_relaxed);
  stats->trapped_points.fetch_add(work.trapped, std::memory_order_relaxed);
  stats->undecided_points.fetch_add(work.undecided, std::memory_order_relaxed);
}

// The work done since `reported`, which it then becomes.
kernel_detail::KernelWork WorkSince(const kernel_detail::KernelWork& now,
                                    kernel_detail::KernelWork& reported) {
  const kernel_detail::KernelWork since{
      now.executed - reported.executed, now.proof_steps - reported.proof_steps,
      now.proven - reported.proven,     now.trap_steps - reported.trap_steps,
      now.trapped - reported.trapped,   now.undecided - reported.undecided};
  reported = now;
  return since;
}

}  // namespace

struct KernelScratch::Batches {
  std::deque<Batch> pool;
};

KernelScratch::KernelScratch() : batches_(std::make_unique<Batches>()) {}
KernelScratch::~KernelScratch() = default;

namespace {

// Hands the lanes the feed's points, batch after batch, and the feed their counts. Points the
// lanes cannot take, which no view of the viewer has, are counted at once by the plain loop,
// which also gives their floating-point status.
class Feeder {
 public:
  Feeder(const EscapeParams& params, std::span<const double> ys, std::span<const double> xs,
         RowFeed& feed, KernelScratch& scratch)
      : params_(params),
        ys_(ys),
        xs_(xs),
        feed_(feed),
        batches_(params, ys, xs, scratch.batches().pool) {}

  kernel_detail::PointChunk* Next() {
    for (std::span<const std::int32_t> points; !(points = feed_.TakeApart()).empty();) {
      if (Batch* batch = batches_.FromPoints(points)) return batch;
      ComputePlainApart(points);
    }
    for (RowFeed::Rows rows; (rows = feed_.Take()).count != 0;) {
      Batch* batch = batches_.FromRows(rows, feed_.ApartMask());
      if (batch == nullptr) {
        ComputePlain(rows);
      } else if (batch->size != 0) {
        return batch;
      } else {
        Finished(*batch);  // every point of the rows is set apart
      }
    }
    return nullptr;
  }

  void Finished(kernel_detail::PointChunk& chunk) {
    Batch& batch = static_cast<Batch&>(chunk);
    if (batch.rows.count == 0) {
      AddStats(0, batch.places.size(), WorkSince(work_, reported_work_));
      feed_.FinishedApart(batch.places, batch.point_counts, batch.point_work, false);
    } else if (batch.in_order) {
      Report(batch.rows, batch.point_counts, batch.point_work, false);  // none set apart
    } else {
      // Back in their places in the rows; the points set apart read 0.
      const std::size_t points = batch.rows.count * xs_.size();
      row_counts_.assign(points, 0);
      row_work_.assign(points, 0);
      for (std::size_t k = 0; k < batch.places.size(); ++k) {
        row_counts_[batch.places[k]] = batch.point_counts[k];
        row_work_[batch.places[k]] = batch.point_work[k];
      }
      Report(batch.rows, row_counts_, row_work_, false);
    }
    batches_.Release(batch);
  }

  bool Abandoned() { return feed_.Abandoned(); }

  // The faults the plain loop raised on the points the lanes could not take.
  int PlainFaults() const { return plain_faults_; }
  kernel_detail::KernelWork& Work() { return work_; }

  // The work on rows that were abandoned.
  ~Feeder() { AddStats(0, 0, WorkSince(work_, reported_work_)); }

 private:
  // The plain loop, with its own status: the lanes may have left spurious faults behind.
  void ComputePlain(RowFeed::Rows rows) {
    const std::size_t width = xs_.size();
    row_counts_.resize(rows.count * width);
    const int faults = PlainFaults([&] {
      for (std::size_t r = 0; r < rows.count; ++r) {
        ComputeRowScalar(params_, ys_[rows.first + r], xs_,
                         std::span(row_counts_).subspan(r * width, width));
      }
    });
    row_work_.assign(row_counts_.begin(), row_counts_.end());
    Report(rows, row_counts_, row_work_, faults != 0);
  }

  // Points set apart, one at a time, each with its own status.
  void ComputePlainApart(std::span<const std::int32_t> points) {
    for (const std::int32_t point : points) {
      const auto index = static_cast<std::size_t>(point);
      std::int32_t count = 0;
      const int faults = PlainFaults([&] {
        ComputeRowScalar(params_, ys_[index / xs_.size()], xs_.subspan(index % xs_.size(), 1),
                         std::span(&count, 1));
      });
      const std::int64_t work = count;
      feed_.FinishedApart(std::span(&point, 1), std::span(&count, 1), std::span(&work, 1),
                          faults != 0);
    }
  }

  // The faults `compute` raises, which also join those of the plain loop so far.
  template <class Compute>
  int PlainFaults(Compute compute) {
    std::feclearexcept(kFloatingPointFaults);
    compute();
    const int faults = std::fetestexcept(kFloatingPointFaults);
    plain_faults_ |= faults;
    return faults;
  }

  // The stats go first: once the feed has the rows, the work that gave them is in the stats.
  void Report(RowFeed::Rows rows, std::span<const std::int32_t> counts,
              std::span<const std::int64_t> work, bool fault) {
    AddStats(rows.count, counts.size(), WorkSince(work_, reported_work_));
    feed_.Finished(rows, counts, work, fault);
  }

  const EscapeParams& params_;
  std::span<const double> ys_;
  std::span<const double> xs_;
  RowFeed& feed_;
  BatchMaker batches_;
  std::vector<std::int32_t> row_counts_;  // whole rows, on their way to the feed
  std::vector<std::int64_t> row_work_;
  int plain_faults_ = 0;
  kernel_detail::KernelWork work_;
  kernel_detail::KernelWork reported_work_;
};

void RunLanes(const EscapeParams& params, Feeder& feeder) {
  // Returns are proposed only where cycles are looked for: the lanes track them against the
  // checkpoints.
  const bool cycles = cycle_detection.load(std::memory_order_relaxed);
  const bool proofs = cycles && params.cap >= tuning::kProposeFromCap;
  const kernel_detail::PointFeed feed{
      &feeder,
      [](void* f) { return static_cast<Feeder*>(f)->Next(); },
      [](void* f, kernel_detail::PointChunk& chunk) { static_cast<Feeder*>(f)->Finished(chunk); },
      [](void* f) { return static_cast<Feeder*>(f)->Abandoned(); },
      {params.cap, cycles ? tuning::kCycleCheckFrom : kNoCycleCheck,
       proofs ? tuning::kProposeFrom : kNoCycleCheck, proofs ? tuning::kTrapFrom : kNoCycleCheck}};
  kernel_detail::ComputeFedBody(feed, feeder.Work());
}

void RunGroups(const EscapeParams& params, Feeder& feeder) {
  while (!feeder.Abandoned()) {
    kernel_detail::PointChunk* chunk = feeder.Next();
    if (chunk == nullptr) return;
    const kernel_detail::RowTask task{chunk->c_real, chunk->c_imag, chunk->counts, chunk->size,
                                      params.cap};
    kernel_detail::ComputeGroupsBody(task, feeder.Work());
    std::copy_n(chunk->counts, chunk->size, chunk->work);  // no cycle checks: every step counts
    feeder.Finished(*chunk);
  }
}

// All the rows in one batch, their counts into the caller's span.
class OneBatch final : public RowFeed {
 public:
  OneBatch(std::size_t rows, std::span<std::int32_t> counts) : rows_(rows), counts_(counts) {}

  Rows Take() override {
    if (taken_) return {};
    taken_ = true;
    return {0, rows_};
  }

  void Finished(Rows, std::span<const std::int32_t> counts, std::span<const std::int64_t>,
                bool) override {
    std::copy(counts.begin(), counts.end(), counts_.begin());
  }

  bool Abandoned() override { return false; }

 private:
  std::size_t rows_;
  std::span<std::int32_t> counts_;
  bool taken_ = false;
};

}  // namespace

void ComputeRow(const EscapeParams& params, double y, std::span<const double> xs,
                std::span<std::int32_t> counts) {
  if (counts.size() != xs.size()) throw std::invalid_argument("ComputeRow: sizes differ");
  ComputeRows(params, std::span<const double>(&y, 1), xs, counts);
}

void ComputeRows(const EscapeParams& params, std::span<const double> ys, std::span<const double> xs,
                 std::span<std::int32_t> counts) {
  if (counts.size() != ys.size() * xs.size()) {
    throw std::invalid_argument("ComputeRows: sizes differ");
  }
  OneBatch feed(ys.size(), counts);
  KernelScratch scratch;
  ComputeFed(params, ys, xs, feed, scratch);
}

void ComputeFed(const EscapeParams& params, std::span<const double> ys, std::span<const double> xs,
                RowFeed& feed, KernelScratch& scratch) {
  fexcept_t status;
  std::fegetexceptflag(&status, kFloatingPointFaults);
  int plain_faults = 0;
  {
    Feeder feeder(params, ys, xs, feed, scratch);
    if (params.cap <= kKernelGroupCapLimit) {
      RunGroups(params, feeder);
    } else {
      RunLanes(params, feeder);
    }
    plain_faults = feeder.PlainFaults();
  }
  // The lanes go on iterating escaped orbits until their next look, which may overflow; the
  // plain loop raises nothing on tame rows, so only its own faults join the caller's.
  std::fesetexceptflag(&status, kFloatingPointFaults);
  if (plain_faults != 0) std::feraiseexcept(plain_faults);
}

void SetCycleDetection(bool on) { cycle_detection.store(on, std::memory_order_relaxed); }

void SetKernelStats(KernelStats* stats) { stats_sink.store(stats, std::memory_order_relaxed); }

}  // namespace fractal
