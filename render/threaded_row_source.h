// Computes the rows of the current view ahead of the drawing, on worker threads.
//
// Workers take rows in the order the drawing sets them, a few consecutive rows at a time (the
// kernel keeps its vector lanes busier across rows than within one), so the rows the window
// thread needs next are always the oldest in flight. Beginning
// a new view drops every row of the old one: a worker still busy with old rows discards its result.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

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
  struct Task {
    std::uint64_t view;
    int first_row;
    int rows;
    EscapeParams params;
  };

  void Work();
  bool TakeTask(Task& task);
  void Finish(const Task& task, const std::vector<std::int32_t>& counts, bool fault);

  std::mutex mutex_;
  std::condition_variable task_ready_;
  std::condition_variable row_done_;
  bool stopping_ = false;
  bool begun_ = false;
  std::uint64_t view_ = 0;  // which Begin the rows belong to
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
