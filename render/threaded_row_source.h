// Computes the rows of the current view ahead of the drawing, on worker threads.
//
// Workers take rows in the order the drawing sets them, a few consecutive rows at a time, and
// feed them to the kernel as its lanes free up, so the rows the window thread needs next are
// always the oldest in flight and a few slow points never leave a core idle. Deep in the set,
// the points near where the last view's orbits ran longest go first (apart_points.h), so that
// they do not start with the last rows and hold up the end of the drawing. Beginning a new
// view drops every row of the old one: workers abandon the old rows within a fraction of a
// millisecond, and results that still arrive are discarded.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "render/apart_points.h"
#include "render/kernel/kernel.h"
#include "render/row_source.h"

namespace fractal {

class ThreadedRowSource final : public RowSource {
 public:
  static constexpr int kDefaultRowsPerTask = 8;
  // Points set apart are handed out this many at a time, so that both workers share them.
  static constexpr std::size_t kApartPerTask = 4;

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
  bool AwaitView(std::uint64_t& view, EscapeParams& params,
                 std::shared_ptr<const ApartPoints>& apart);
  RowFeed::Rows TakeRows(std::uint64_t view);
  std::span<const std::int32_t> TakeApart(std::uint64_t view);
  void Finish(std::uint64_t view, RowFeed::Rows rows, std::span<const std::int32_t> counts,
              std::span<const std::int64_t> work, bool fault);
  void FinishApart(std::uint64_t view, std::span<const std::int32_t> points,
                   std::span<const std::int32_t> counts, std::span<const std::int64_t> work,
                   bool fault);
  // Marks `row` done once its own points and those set apart are all counted.
  void MarkIfDone(std::size_t row);
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
  // The points of this view counted ahead of the rows; workers read it without the lock, so a
  // new view gets a new one.
  std::shared_ptr<const ApartPoints> apart_;
  std::size_t next_apart_ = 0;
  std::vector<std::int32_t> counts_;  // row after row
  // The iterations each point took, 0 until counted; kept only where the next view may use it.
  std::vector<std::int64_t> work_;
  bool keeps_work_ = false;
  std::vector<char> row_counted_;  // the row's own points are counted
  std::vector<int> apart_left_;    // the row's points set apart not yet counted
  std::vector<char> done_;
  std::vector<char> fault_;
  std::vector<std::jthread> workers_;
};

}  // namespace fractal
