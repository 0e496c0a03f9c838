// Computes the rows of the current view ahead of the drawing, on worker threads.
//
// Workers take rows in the order the drawing sets them, so the row the window thread needs next
// is always the oldest one in flight. Beginning a new view drops every row of the old one: a
// worker still busy with an old row discards its result.
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
  // `threads` workers; 0 means one per hardware thread.
  explicit ThreadedRowSource(int threads = 0);
  ~ThreadedRowSource() override;

  void Begin(const EscapeParams& params) override;
  bool WaitForRow(int row, std::chrono::milliseconds timeout) override;
  RowCounts Row(int row) override;

 private:
  struct Task {
    std::uint64_t view;
    int row;
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
  int next_row_ = 0;
  std::vector<std::vector<std::int32_t>> counts_;
  std::vector<char> done_;
  std::vector<char> fault_;
  std::vector<std::jthread> workers_;
};

}  // namespace fractal
