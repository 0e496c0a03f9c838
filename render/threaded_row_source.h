// Computes the rows of the current view ahead of the drawing, on worker threads.
//
// Workers take rows in the order the drawing sets them, a few consecutive rows at a time, and
// feed them to the kernel as its lanes free up, so the rows the window thread needs next are
// always the oldest in flight and a few slow points never leave a core idle. Beginning a new
// view drops every row of the old one: workers abandon the old rows within a fraction of a
// millisecond, and results that still arrive are discarded.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "render/kernel/kernel.h"
#include "render/row_source.h"

namespace fractal {

class ThreadedRowSource final : public RowSource {
 public:
  static constexpr int kDefaultRowsPerTask = 8;

  // `threads` workers, 0 meaning one per hardware thread, each taking `rows_per_task` rows at a
  // time.
  explicit ThreadedRowSource(int threads = 0, int rows_per_task = kDefaultRowsPerTask);
  ~ThreadedRowSource() override;

  void Begin(const EscapeParams& params) override;
  bool WaitForRow(int row, std::chrono::milliseconds timeout) override;
  RowCounts Row(int row) override;

 private:
  class WorkerFeed;

  void Work();
  // Waits for a view with rows left to compute; false once the source is stopping.
  bool AwaitView(std::uint64_t& view, EscapeParams& params);
  RowFeed::Rows TakeRows(std::uint64_t view);
  void Finish(std::uint64_t view, RowFeed::Rows rows, std::span<const std::int32_t> counts,
              bool fault);
  bool Abandoned(std::uint64_t view) const;

  std::mutex mutex_;
  std::condition_variable task_ready_;
  std::condition_variable row_done_;
  // Written under the lock; workers also read them without it, to abandon their rows soon.
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> view_{0};  // which Begin the rows belong to
  bool begun_ = false;
  EscapeParams params_;
  const int rows_per_task_;
  const std::size_t columns_;
  int next_row_ = 0;
  std::vector<std::int32_t> counts_;  // row after row
  std::vector<char> done_;
  std::vector<char> fault_;
  std::vector<std::jthread> workers_;
};

}  // namespace fractal
