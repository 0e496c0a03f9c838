#include "render/threaded_row_source.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cfenv>

#include "render/escape_time.h"
#include "render/kernel.h"
#include "render/view_steps.h"

namespace fractal {
namespace {

constexpr int kWorkerNiceness = 10;

}  // namespace

ThreadedRowSource::ThreadedRowSource(int threads, int rows_per_task)
    : rows_per_task_(std::max(1, rows_per_task)),
      columns_(ColumnSteps().size()),
      counts_(RowSteps().size() * ColumnSteps().size()),
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
  return {std::span(counts_).subspan(row * columns_, columns_), fault_[row] != 0};
}

bool ThreadedRowSource::TakeTask(Task& task) {
  std::unique_lock lock(mutex_);
  const int rows = static_cast<int>(done_.size());
  task_ready_.wait(lock, [&] { return stopping_ || (begun_ && next_row_ < rows); });
  if (stopping_) return false;
  task = {view_, next_row_, std::min(rows_per_task_, rows - next_row_), params_};
  next_row_ += task.rows;
  return true;
}

void ThreadedRowSource::Finish(const Task& task, const std::vector<std::int32_t>& counts,
                               bool fault) {
  {
    std::lock_guard lock(mutex_);
    if (task.view != view_) return;  // a newer view has begun; these rows are not wanted
    std::copy(counts.begin(), counts.end(), counts_.begin() + task.first_row * columns_);
    for (int row = task.first_row; row < task.first_row + task.rows; ++row) {
      fault_[row] = fault;
      done_[row] = 1;
    }
  }
  row_done_.notify_all();
}

void ThreadedRowSource::Work() {
  // The window thread must get a core the moment an event needs it, even while the workers keep
  // every core busy: the workers yield to it.
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kWorkerNiceness);
  std::vector<std::int32_t> counts;
  Task task{};
  while (TakeTask(task)) {
    counts.resize(task.rows * columns_);
    // Floating-point flags are per thread: rows are checked on the thread that computed them.
    std::feclearexcept(FE_ALL_EXCEPT);
    ComputeRows(task.params, RowSteps().subspan(task.first_row, task.rows), ColumnSteps(), counts);
    const bool fault = std::fetestexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW) != 0;
    Finish(task, counts, fault);
  }
}

}  // namespace fractal
