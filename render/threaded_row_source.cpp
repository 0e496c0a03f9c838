#include "render/threaded_row_source.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "render/view_steps.h"

namespace fractal {
namespace {

// How far the workers yield to the window thread, in levels of niceness below its own: not at
// all. They compete for the cores as any ordinary thread does, which gives a drawing its fair
// share beside busy processes; the window thread still gets a core the moment it wakes, as a
// thread that sleeps most of the time does. Yielding by 5 left a busy neighbour three times a
// worker's weight. Dive 22 in the real window under Xvfb on 2 cores, median of 5, each after its
// parent view (window_bench 2), quiet / beside 1 / beside 2 busy nice-0 processes:
//   yield 5:                573 / 889 (1.55x) / 2370 ms (4.13x)
//   yield 0:                536, 500, 527 / 777, 757, 766 (1.45x, 1.51x, 1.45x) / 1126, 993,
//                           971 ms (2.10x, 1.99x, 1.84x)
//   yield 0 as SCHED_BATCH: 533, 467 / 804, 764 (1.51x, 1.64x) / 1007, 897 ms (1.89x, 1.92x)
// With four busy loops on two cores, worst of 10 as the end-to-end tests measure them: close
// during a deep drawing 436 ms at 5 (median 19 ms), 30 ms at 0 (median 11 ms), 26 ms as
// SCHED_BATCH; click to "Drawing...", clicks 23 to 26, 17, 19 and 19 ms. Further (10) made a
// close wait for every worker's next turn: median 54-84 ms. SCHED_BATCH gained nothing
// measurable, and real-time policies and negative niceness are not an ordinary user's to take.
constexpr int kWorkerNiceness = 0;
constexpr int kLeastPriority = 19;

// Lowers the calling thread's priority `levels` below what it inherited from the thread that
// started it, the window thread.
void YieldBy(int levels) {
  const auto thread = static_cast<id_t>(gettid());
  errno = 0;
  const int inherited = getpriority(PRIO_PROCESS, thread);
  if (errno != 0) return;
  setpriority(PRIO_PROCESS, thread, std::min(inherited + levels, kLeastPriority));
}

}  // namespace

ThreadedRowSource::ThreadedRowSource(int threads, int rows_per_task)
    : rows_per_task_(std::max(1, rows_per_task)),
      columns_(ColumnSteps().size()),
      counts_(RowSteps().size() * ColumnSteps().size()),
      work_(counts_.size(), 0),
      row_counted_(RowSteps().size(), 0),
      apart_left_(RowSteps().size(), 0),
      done_(RowSteps().size(), 0),
      fault_(RowSteps().size(), 0) {
  if (threads <= 0) threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  for (int i = 0; i < threads; ++i) workers_.emplace_back([this] { Work(); });
}

ThreadedRowSource::~ThreadedRowSource() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  task_ready_.notify_all();
  workers_.clear();  // joins
}

void ThreadedRowSource::Begin(const EscapeParams& params) {
  {
    std::lock_guard lock(mutex_);
    ++view_;
    // From what the last view's points took, as far as they were counted.
    auto apart = std::make_shared<ApartPoints>();
    if (keeps_work_) *apart = PlanApartPoints(params_, work_, params, RowSteps(), ColumnSteps());
    std::fill(apart_left_.begin(), apart_left_.end(), 0);
    for (const std::int32_t point : apart->points) ++apart_left_[point / columns_];
    apart_ = std::move(apart);
    next_apart_ = 0;
    begun_ = true;
    params_ = params;
    next_row_ = 0;
    keeps_work_ = PlansApartPointsFrom(params);
    if (keeps_work_) std::fill(work_.begin(), work_.end(), 0);
    std::fill(row_counted_.begin(), row_counted_.end(), 0);
    std::fill(done_.begin(), done_.end(), 0);
    std::fill(fault_.begin(), fault_.end(), 0);
  }
  task_ready_.notify_all();
}

bool ThreadedRowSource::WaitForRow(int row, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return row_done_.wait_for(lock, timeout, [&] { return done_[row] != 0; });
}

RowCounts ThreadedRowSource::Row(int row) {
  std::lock_guard lock(mutex_);
  return {std::span(counts_).subspan(row * columns_, columns_), fault_[row] != 0};
}

// One worker's feed: the rows of one view, abandoned once another view begins.
class ThreadedRowSource::WorkerFeed final : public RowFeed {
 public:
  WorkerFeed(ThreadedRowSource& source, std::uint64_t view,
             std::shared_ptr<const ApartPoints> apart)
      : source_(source), view_(view), apart_(std::move(apart)) {}
  Rows Take() override { return source_.TakeRows(view_); }
  void Finished(Rows rows, std::span<const std::int32_t> counts, std::span<const std::int64_t> work,
                bool fault) override {
    source_.Finish(view_, rows, counts, work, fault);
  }
  std::span<const char> ApartMask() override { return apart_->apart; }
  std::span<const std::int32_t> TakeApart() override { return source_.TakeApart(view_); }
  void FinishedApart(std::span<const std::int32_t> points, std::span<const std::int32_t> counts,
                     std::span<const std::int64_t> work, bool fault) override {
    source_.FinishApart(view_, points, counts, work, fault);
  }
  bool Abandoned() override { return source_.Abandoned(view_); }

 private:
  ThreadedRowSource& source_;
  const std::uint64_t view_;
  const std::shared_ptr<const ApartPoints> apart_;  // the view's; TakeApart hands out its points
};

bool ThreadedRowSource::AwaitView(std::uint64_t& view, EscapeParams& params,
                                  std::shared_ptr<const ApartPoints>& apart) {
  std::unique_lock lock(mutex_);
  const int rows = static_cast<int>(done_.size());
  task_ready_.wait(lock, [&] { return stopping_ || (begun_ && next_row_ < rows); });
  if (stopping_) return false;
  view = view_;
  params = params_;
  apart = apart_;
  return true;
}

RowFeed::Rows ThreadedRowSource::TakeRows(std::uint64_t view) {
  std::lock_guard lock(mutex_);
  const int rows = static_cast<int>(done_.size());
  if (stopping_ || view != view_ || next_row_ >= rows) return {};
  const RowFeed::Rows taken{static_cast<std::size_t>(next_row_),
                            static_cast<std::size_t>(std::min(rows_per_task_, rows - next_row_))};
  next_row_ += static_cast<int>(taken.count);
  return taken;
}

std::span<const std::int32_t> ThreadedRowSource::TakeApart(std::uint64_t view) {
  std::lock_guard lock(mutex_);
  if (stopping_ || view != view_) return {};
  const std::size_t first = next_apart_;
  next_apart_ = std::min(first + kApartPerTask, apart_->points.size());
  return std::span(apart_->points).subspan(first, next_apart_ - first);
}

void ThreadedRowSource::Finish(std::uint64_t view, RowFeed::Rows rows,
                               std::span<const std::int32_t> counts,
                               std::span<const std::int64_t> work, bool fault) {
  {
    std::lock_guard lock(mutex_);
    if (view != view_) return;  // a newer view has begun; these rows are not wanted
    const std::size_t first = rows.first * columns_;
    if (apart_->apart.empty()) {
      std::copy(counts.begin(), counts.end(), counts_.begin() + first);
      if (keeps_work_) std::copy(work.begin(), work.end(), work_.begin() + first);
    } else {
      for (std::size_t i = 0; i < counts.size(); ++i) {
        if (apart_->apart[first + i] != 0) continue;  // counted apart
        counts_[first + i] = counts[i];
        work_[first + i] = work[i];
      }
    }
    for (std::size_t row = rows.first; row < rows.first + rows.count; ++row) {
      fault_[row] |= static_cast<char>(fault);
      row_counted_[row] = 1;
      MarkIfDone(row);
    }
  }
  row_done_.notify_all();
}

void ThreadedRowSource::FinishApart(std::uint64_t view, std::span<const std::int32_t> points,
                                    std::span<const std::int32_t> counts,
                                    std::span<const std::int64_t> work, bool fault) {
  {
    std::lock_guard lock(mutex_);
    if (view != view_) return;
    for (std::size_t k = 0; k < points.size(); ++k) {
      const auto point = static_cast<std::size_t>(points[k]);
      counts_[point] = counts[k];
      work_[point] = work[k];
      const std::size_t row = point / columns_;
      fault_[row] |= static_cast<char>(fault);
      --apart_left_[row];
      MarkIfDone(row);
    }
  }
  row_done_.notify_all();
}

void ThreadedRowSource::MarkIfDone(std::size_t row) {
  if (row_counted_[row] != 0 && apart_left_[row] == 0) done_[row] = 1;
}

bool ThreadedRowSource::Abandoned(std::uint64_t view) const {
  return stopping_.load(std::memory_order_relaxed) || view_.load(std::memory_order_relaxed) != view;
}

void ThreadedRowSource::Work() {
  // The window thread must get a core the moment an event needs it, even while the workers keep
  // every core busy; kWorkerNiceness says how far the workers yield to it for that.
  YieldBy(kWorkerNiceness);
  std::uint64_t view = 0;
  EscapeParams params;
  std::shared_ptr<const ApartPoints> apart;
  KernelScratch scratch;  // this worker's batches, reused from view to view
  while (AwaitView(view, params, apart)) {
    WorkerFeed feed(*this, view, apart);
    ComputeFed(params, RowSteps(), ColumnSteps(), feed, scratch);
  }
}

}  // namespace fractal
