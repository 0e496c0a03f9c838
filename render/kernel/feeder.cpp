// Turns rows into chunks of points for the kernel's body, hands their counts back, and keeps the
// floating-point status the plain loop's whatever the target.
#include <algorithm>
#include <cfenv>
#include <cmath>
#include <deque>
#include <stdexcept>
#include <vector>

#include "render/kernel/chunks.h"
#include "render/kernel/kernel.h"
#include "runtime/runtime.h"

namespace fractal {
namespace {

// Below this magnitude of c, the scalar iteration cannot overflow before it stops (|z| < 2 until
// the last step, and then |z| <= 4 + |c|), so it raises none of kFloatingPointFaults. The vector
// lanes keep iterating escaped orbits until the next look at the lanes, which may overflow; for
// such rows their faults are cleared and the scalar status stands.
constexpr double kTame = 1e100;

// Lanes look for cycles once some lane has run this many iterations.
constexpr std::int64_t kCycleCheckFrom = 64;
constexpr std::int64_t kNoCycleCheck = std::int64_t{1} << 40;  // beyond every cap
// Lanes propose returns for interior proofs from this count on, where the cap is at least
// kProposeFromCap: a proposal costs as much as a few hundred iterations, tracking returns slows
// every iteration a little, and below these exact cycle detection decides most points anyway
// (at dive 16, cap 2^20, they cost about 4 % of the drawing and saved nothing).
constexpr std::int64_t kProposeFrom = 2048;
constexpr std::int64_t kProposeFromCap = std::int64_t{1} << 21;

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
}

// The work done since `reported`, which it then becomes.
kernel_detail::KernelWork WorkSince(const kernel_detail::KernelWork& now,
                                    kernel_detail::KernelWork& reported) {
  const kernel_detail::KernelWork since{now.executed - reported.executed,
                                        now.proof_steps - reported.proof_steps,
                                        now.proven - reported.proven};
  reported = now;
  return since;
}

// Points of the feed on their way through the lanes: those of some rows but the points set
// apart, or some points set apart, with their plane coordinates.
struct Batch : kernel_detail::PointChunk {
  RowFeed::Rows rows;                // none for points set apart
  bool in_order = false;             // every point of the rows, in order: `places` lists none
  std::vector<std::int32_t> places;  // each point's index in the rows, or in the view if apart
  std::vector<double> point_c_real;
  std::vector<double> point_c_imag;
  std::vector<std::int32_t> point_counts;
  std::vector<std::int64_t> point_work;
};

}  // namespace

struct KernelScratch::Batches {
  std::deque<Batch> pool;
};

KernelScratch::KernelScratch() : batches_(std::make_unique<Batches>()) {}
KernelScratch::~KernelScratch() = default;

namespace {

// Turns the feed's rows into chunks of points for the lanes. Rows that are not tame, which no
// view of the viewer has, are counted at once by the plain loop, which also gives their status.
class Feeder {
 public:
  Feeder(const EscapeParams& params, std::span<const double> ys, std::span<const double> xs,
         RowFeed& feed, KernelScratch& scratch)
      : params_(params),
        ys_(ys),
        xs_(xs),
        feed_(feed),
        pool_(scratch.batches().pool),
        c_real_(xs.size()) {
    for (std::size_t i = 0; i < xs.size(); ++i) {
      c_real_[i] = (xs[i] + params.offset_x) * params.scale;
      tame_columns_ &= std::fabs(c_real_[i]) <= kTame;
    }
    // Every batch of the scratch is free again: the last ComputeFed with it has returned.
    for (Batch& batch : pool_) free_.push_back(&batch);
  }

  kernel_detail::PointChunk* Next() {
    for (std::span<const std::int32_t> points; !(points = feed_.TakeApart()).empty();) {
      if (Batch* batch = PrepareApart(points)) return batch;
      ComputePlainApart(points);
    }
    for (RowFeed::Rows rows; (rows = feed_.Take()).count != 0;) {
      Batch* batch = Prepare(rows);
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
    free_.push_back(&batch);
  }

  bool Abandoned() { return feed_.Abandoned(); }

  // The faults the plain loop raised on the rows that were not tame.
  int PlainFaults() const { return plain_faults_; }
  kernel_detail::KernelWork& Work() { return work_; }

  // The work on rows that were abandoned.
  ~Feeder() { AddStats(0, 0, WorkSince(work_, reported_work_)); }

 private:
  // The rows' points but those set apart, as a chunk for the lanes; nullptr if the lanes cannot
  // take them.
  Batch* Prepare(RowFeed::Rows rows) {
    if (!LanesTake()) return nullptr;
    for (std::size_t r = rows.first; r < rows.first + rows.count; ++r) {
      if (!TameRow(r)) return nullptr;
    }
    Batch& batch = TakeFreeBatch();
    batch.rows = rows;
    const std::size_t width = xs_.size();
    const std::span<const char> apart = feed_.ApartMask();
    batch.in_order = apart.empty();
    for (std::size_t r = 0; r < rows.count; ++r) {
      const std::size_t row = rows.first + r;
      if (apart.empty()) {
        PlaceRow(batch, row);
        continue;
      }
      for (std::size_t column = 0; column < width; ++column) {
        if (apart[row * width + column] == 0) Place(batch, row, column, r * width);
      }
    }
    Ready(batch);
    return &batch;
  }

  // Points set apart, as a chunk for the lanes; nullptr if the lanes cannot take them.
  Batch* PrepareApart(std::span<const std::int32_t> points) {
    if (!LanesTake()) return nullptr;
    for (const std::int32_t point : points) {
      if (!TameRow(static_cast<std::size_t>(point) / xs_.size())) return nullptr;
    }
    Batch& batch = TakeFreeBatch();
    batch.rows = {};
    batch.in_order = false;
    for (const std::int32_t point : points) {
      const auto index = static_cast<std::size_t>(point);
      Place(batch, index / xs_.size(), index % xs_.size(), index - index % xs_.size());
    }
    Ready(batch);
    return &batch;
  }

  bool LanesTake() const { return !xs_.empty() && params_.cap > 0 && tame_columns_; }
  // The imaginary part of c on the row, as the plain loop computes it.
  double RowImag(std::size_t row) const { return (ys_[row] + params_.offset_y) * params_.scale; }
  bool TameRow(std::size_t row) const { return std::fabs(RowImag(row)) <= kTame; }

  // Adds the point at `row`, `column` to the batch; its place is `column` past `row_place`.
  void Place(Batch& batch, std::size_t row, std::size_t column, std::size_t row_place) {
    batch.places.push_back(static_cast<std::int32_t>(row_place + column));
    batch.point_c_real.push_back(c_real_[column]);
    batch.point_c_imag.push_back(RowImag(row));
  }

  // Adds the whole row to a batch in order.
  void PlaceRow(Batch& batch, std::size_t row) {
    batch.point_c_real.insert(batch.point_c_real.end(), c_real_.begin(), c_real_.end());
    batch.point_c_imag.resize(batch.point_c_real.size(), RowImag(row));
  }

  static void Ready(Batch& batch) {
    const std::size_t size = batch.point_c_real.size();
    batch.point_counts.resize(size);
    batch.point_work.resize(size);
    batch.c_real = batch.point_c_real.data();
    batch.c_imag = batch.point_c_imag.data();
    batch.counts = batch.point_counts.data();
    batch.work = batch.point_work.data();
    batch.size = static_cast<std::int64_t>(size);
    batch.taken = 0;
    batch.unfinished = batch.size;
  }

  Batch& TakeFreeBatch() {
    if (free_.empty()) return pool_.emplace_back();
    Batch* batch = free_.back();
    free_.pop_back();
    batch->places.clear();
    batch->point_c_real.clear();
    batch->point_c_imag.clear();
    return *batch;
  }

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
  std::deque<Batch>& pool_;     // the scratch's batches, stable in memory as it grows
  std::vector<double> c_real_;  // one per column
  bool tame_columns_ = true;
  std::vector<Batch*> free_;
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
  const kernel_detail::PointFeed feed{
      &feeder,
      [](void* f) { return static_cast<Feeder*>(f)->Next(); },
      [](void* f, kernel_detail::PointChunk& chunk) { static_cast<Feeder*>(f)->Finished(chunk); },
      [](void* f) { return static_cast<Feeder*>(f)->Abandoned(); },
      {params.cap, cycles ? kCycleCheckFrom : kNoCycleCheck,
       cycles && params.cap >= kProposeFromCap ? kProposeFrom : kNoCycleCheck}};
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
