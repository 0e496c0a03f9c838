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

namespace fractal {
namespace {

constexpr int kFaults = FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW;

// Below this magnitude of c, the scalar iteration cannot overflow before it stops (|z| < 2 until
// the last step, and then |z| <= 4 + |c|), so it raises none of kFaults. The vector lanes keep
// iterating escaped orbits until the next look at the lanes, which may overflow; for such rows
// their faults are cleared and the scalar status stands.
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

// Rows of the feed on their way through the lanes, with the plane coordinates of their points.
struct Batch : kernel_detail::PointChunk {
  RowFeed::Rows rows;
  std::vector<double> point_c_real;
  std::vector<double> point_c_imag;
  std::vector<std::int32_t> point_counts;
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
    for (RowFeed::Rows rows; (rows = feed_.Take()).count != 0;) {
      if (Batch* batch = Prepare(rows)) return batch;
      ComputePlain(rows);
    }
    return nullptr;
  }

  void Finished(kernel_detail::PointChunk& chunk) {
    Batch& batch = static_cast<Batch&>(chunk);
    Report(batch.rows, batch.point_counts, false);
    free_.push_back(&batch);
  }

  bool Abandoned() { return feed_.Abandoned(); }

  // The faults the plain loop raised on the rows that were not tame.
  int PlainFaults() const { return plain_faults_; }
  kernel_detail::KernelWork& Work() { return work_; }

  // The work on rows that were abandoned.
  ~Feeder() { AddStats(0, 0, WorkSince(work_, reported_work_)); }

 private:
  // The rows as a chunk for the lanes, or nullptr if the lanes cannot take them.
  Batch* Prepare(RowFeed::Rows rows) {
    const std::size_t width = xs_.size();
    if (width == 0 || params_.cap <= 0 || !tame_columns_) return nullptr;
    for (std::size_t r = rows.first; r < rows.first + rows.count; ++r) {
      if (!(std::fabs((ys_[r] + params_.offset_y) * params_.scale) <= kTame)) return nullptr;
    }
    Batch& batch = TakeFreeBatch();
    batch.rows = rows;
    const std::size_t points = rows.count * width;
    batch.point_c_real.resize(points);
    batch.point_c_imag.resize(points);
    batch.point_counts.resize(points);
    for (std::size_t r = 0; r < rows.count; ++r) {
      std::copy(c_real_.begin(), c_real_.end(), batch.point_c_real.begin() + r * width);
      std::fill_n(batch.point_c_imag.begin() + r * width, width,
                  (ys_[rows.first + r] + params_.offset_y) * params_.scale);
    }
    batch.c_real = batch.point_c_real.data();
    batch.c_imag = batch.point_c_imag.data();
    batch.counts = batch.point_counts.data();
    batch.size = static_cast<std::int64_t>(points);
    batch.taken = 0;
    batch.unfinished = batch.size;
    return &batch;
  }

  Batch& TakeFreeBatch() {
    if (free_.empty()) return pool_.emplace_back();
    Batch* batch = free_.back();
    free_.pop_back();
    return *batch;
  }

  // The plain loop, with its own status: the lanes may have left spurious faults behind.
  void ComputePlain(RowFeed::Rows rows) {
    const std::size_t width = xs_.size();
    plain_counts_.resize(rows.count * width);
    std::feclearexcept(kFaults);
    for (std::size_t r = 0; r < rows.count; ++r) {
      ComputeRowScalar(params_, ys_[rows.first + r], xs_,
                       std::span(plain_counts_).subspan(r * width, width));
    }
    const int faults = std::fetestexcept(kFaults);
    plain_faults_ |= faults;
    Report(rows, plain_counts_, faults != 0);
  }

  // The stats go first: once the feed has the rows, the work that gave them is in the stats.
  void Report(RowFeed::Rows rows, std::span<const std::int32_t> counts, bool fault) {
    AddStats(rows.count, counts.size(), WorkSince(work_, reported_work_));
    feed_.Finished(rows, counts, fault);
  }

  const EscapeParams& params_;
  std::span<const double> ys_;
  std::span<const double> xs_;
  RowFeed& feed_;
  std::deque<Batch>& pool_;     // the scratch's batches, stable in memory as it grows
  std::vector<double> c_real_;  // one per column
  bool tame_columns_ = true;
  std::vector<Batch*> free_;
  std::vector<std::int32_t> plain_counts_;
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

  void Finished(Rows, std::span<const std::int32_t> counts, bool) override {
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
  std::fegetexceptflag(&status, kFaults);
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
  std::fesetexceptflag(&status, kFaults);
  if (plain_faults != 0) std::feraiseexcept(plain_faults);
}

void SetCycleDetection(bool on) { cycle_detection.store(on, std::memory_order_relaxed); }

void SetKernelStats(KernelStats* stats) { stats_sink.store(stats, std::memory_order_relaxed); }

}  // namespace fractal
