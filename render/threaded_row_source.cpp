#include "render/threaded_row_source.h"

#include <algorithm>
#include <cfenv>

#include "render/escape_time.h"
#include "render/kernel.h"
#include "render/view_steps.h"

namespace fractal {

ThreadedRowSource::ThreadedRowSource(int threads)
    : counts_(RowSteps().size(), std::vector<std::int32_t>(ColumnSteps().size())),
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
    begun_ = true;
    params_ = params;
    next_row_ = 0;
    std::fill(done_.begin(), done_.end(), 0);
  }
  task_ready_.notify_all();
}

bool ThreadedRowSource::WaitForRow(int row, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return row_done_.wait_for(lock, timeout, [&] { return done_[row] != 0; });
}

RowCounts ThreadedRowSource::Row(int row) {
  std::lock_guard lock(mutex_);
  return {counts_[row], fault_[row] != 0};
}

bool ThreadedRowSource::TakeTask(Task& task) {
  std::unique_lock lock(mutex_);
  const int rows = static_cast<int>(done_.size());
  task_ready_.wait(lock, [&] { return stopping_ || (begun_ && next_row_ < rows); });
  if (stopping_) return false;
  task = {view_, next_row_++, params_};
  return true;
}

void ThreadedRowSource::Finish(const Task& task, const std::vector<std::int32_t>& counts,
                               bool fault) {
  {
    std::lock_guard lock(mutex_);
    if (task.view != view_) return;  // a newer view has begun; this row is not wanted
    std::copy(counts.begin(), counts.end(), counts_[task.row].begin());
    fault_[task.row] = fault;
    done_[task.row] = 1;
  }
  row_done_.notify_all();
}

void ThreadedRowSource::Work() {
  std::vector<std::int32_t> counts(ColumnSteps().size());
  Task task{};
  while (TakeTask(task)) {
    // Floating-point flags are per thread: each row is checked on the thread that computed it.
    std::feclearexcept(FE_ALL_EXCEPT);
    ComputeRow(task.params, RowSteps()[task.row], ColumnSteps(), counts);
    const bool fault = std::fetestexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW) != 0;
    Finish(task, counts, fault);
  }
}

}  // namespace fractal
