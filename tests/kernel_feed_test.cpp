// The kernel fed rows a few at a time, as the worker threads feed it: every target gives each
// row exactly once with ComputeRow's counts, tells which rows the plain loop faults on, and stops
// soon once the feed abandons its rows.
#include <gtest/gtest.h>

#include <cfenv>
#include <map>
#include <optional>
#include <vector>

#include "render/kernel/kernel.h"
#include "render/view_steps.h"
#include "support/click_views.h"
#include "support/kernel_testing.h"

namespace fractal {
namespace {

using testing::Dive;
using testing::TargetName;

// Hands out the rows of `ys` in batches whose sizes cycle through `sizes`, and keeps what comes
// back, row by row; points set apart (SetApart) come back point by point.
class RecordingFeed : public RowFeed {
 public:
  RecordingFeed(std::size_t rows, std::vector<std::size_t> sizes)
      : rows_(rows), sizes_(std::move(sizes)) {}

  // Sets apart every `every`-th point of rows `columns` wide, and all of row `whole_row`.
  void SetApart(std::size_t columns, std::size_t every, std::size_t whole_row) {
    mask_.assign(rows_ * columns, 0);
    for (std::size_t point = 0; point < rows_ * columns; ++point) {
      if (point % every == 0 || point / columns == whole_row) {
        apart_.push_back(static_cast<std::int32_t>(point));
        mask_[point] = 1;
      }
    }
  }

  Rows Take() override {
    late_calls_ += abandoned_;
    rows_before_apart_ += next_apart_ < apart_.size();
    if (next_ >= rows_) return {};
    const Rows rows{next_, std::min(sizes_[batches_++ % sizes_.size()], rows_ - next_)};
    next_ += rows.count;
    return rows;
  }

  void Finished(Rows rows, std::span<const std::int32_t> counts, std::span<const std::int64_t> work,
                bool fault) override {
    late_calls_ += abandoned_;
    const std::size_t width = counts.size() / rows.count;
    for (std::size_t r = 0; r < rows.count; ++r) {
      Row& row = rows_seen_[rows.first + r];
      ++row.times;
      row.fault = fault;
      row.counts.assign(counts.begin() + r * width, counts.begin() + (r + 1) * width);
      row.work.assign(work.begin() + r * width, work.begin() + (r + 1) * width);
    }
  }

  std::span<const char> ApartMask() override { return mask_; }

  std::span<const std::int32_t> TakeApart() override {
    const std::size_t first = next_apart_;
    next_apart_ = std::min(first + 3, apart_.size());
    return std::span(apart_).subspan(first, next_apart_ - first);
  }

  void FinishedApart(std::span<const std::int32_t> points, std::span<const std::int32_t> counts,
                     std::span<const std::int64_t> work, bool fault) override {
    late_calls_ += abandoned_;
    for (std::size_t k = 0; k < points.size(); ++k) {
      Row& point = apart_seen_[static_cast<std::size_t>(points[k])];
      ++point.times;
      point.fault = fault;
      point.counts = {counts[k]};
      point.work = {work[k]};
    }
  }

  bool Abandoned() override {
    ++polls_;
    if (abandon_at_poll_ && polls_ >= *abandon_at_poll_) abandoned_ = true;
    return abandoned_;
  }

  struct Row {
    int times = 0;
    bool fault = false;
    std::vector<std::int32_t> counts;
    std::vector<std::int64_t> work;
  };

  std::optional<int> abandon_at_poll_;
  std::map<std::size_t, Row> rows_seen_;
  std::map<std::size_t, Row> apart_seen_;  // by point, row * columns + column
  int late_calls_ = 0;                     // Take or Finished after Abandoned said true
  int rows_before_apart_ = 0;              // Take while points set apart were left

 private:
  std::size_t rows_;
  std::vector<std::size_t> sizes_;
  std::size_t next_ = 0;
  std::size_t batches_ = 0;
  std::vector<std::int32_t> apart_;
  std::vector<char> mask_;
  std::size_t next_apart_ = 0;
  int polls_ = 0;
  bool abandoned_ = false;
};

class KernelFeedTest : public testing::EveryTarget {
 protected:
  KernelScratch scratch_;  // shared by the computations of a test, as a worker's is
};

INSTANTIATE_TEST_SUITE_P(Targets, KernelFeedTest, ::testing::ValuesIn(SupportedKernelTargets()),
                         TargetName);

// Every row of `ys` came back once, with the counts it has on its own, points set apart in their
// place. The work of a point is its count where it escaped, at most the cap where it did not;
// `decided_early` counts those that took less.
void ExpectEveryPointOnce(const RecordingFeed& feed, const EscapeParams& params,
                          std::span<const double> ys, int* decided_early = nullptr) {
  ASSERT_EQ(feed.rows_seen_.size(), ys.size());
  const std::size_t width = ColumnSteps().size();
  std::vector<std::int32_t> alone(width);
  for (const auto& [row, seen] : feed.rows_seen_) {
    ComputeRow(params, ys[row], ColumnSteps(), alone);
    ASSERT_EQ(seen.times, 1) << "row " << row;
    ASSERT_EQ(seen.counts.size(), width) << "row " << row;
    ASSERT_FALSE(seen.fault);
    for (std::size_t column = 0; column < width; ++column) {
      const auto apart = feed.apart_seen_.find(row * width + column);
      const bool set_apart = apart != feed.apart_seen_.end();
      ASSERT_EQ(set_apart ? apart->second.times : 1, 1) << "row " << row << " column " << column;
      // Left out of its row, not counted twice.
      if (set_apart) {
        ASSERT_EQ(seen.counts[column], 0) << "row " << row << " column " << column;
      }
      const std::int32_t count = set_apart ? apart->second.counts[0] : seen.counts[column];
      const std::int64_t work = set_apart ? apart->second.work[0] : seen.work[column];
      ASSERT_EQ(count, alone[column]) << "row " << row << " column " << column;
      if (count < params.cap) {
        ASSERT_EQ(work, count) << "row " << row << " column " << column;
      } else {
        ASSERT_TRUE(work > 0 && work <= params.cap) << "row " << row << " column " << column;
        if (decided_early != nullptr) *decided_early += work < params.cap;
      }
    }
  }
}

// Small caps run fixed groups, larger ones the lane scheduler, whose batches may finish out of
// order; either way each row comes back once, with the counts it has on its own, and so do
// points set apart, which go before any rows.
TEST_P(KernelFeedTest, EveryRowOnceWithItsOwnCounts) {
  for (const ViewState& view : {testing::InitialView(), Dive(4), Dive(12)}) {
    for (const bool apart : {false, true}) {
      const EscapeParams params = MakeEscapeParams(view);
      RecordingFeed feed(RowSteps().size(), {1, 3, 8, 2, 5});
      if (apart) feed.SetApart(ColumnSteps().size(), 7, 0);  // row 0 is a batch of its own
      ComputeFed(params, RowSteps(), ColumnSteps(), feed, scratch_);
      ExpectEveryPointOnce(feed, params, RowSteps());
      EXPECT_EQ(feed.rows_before_apart_, 0);
      if (HasFatalFailure()) FAIL() << "zoom " << view.Zoom << (apart ? ", points set apart" : "");
    }
  }
}

// Deep in the set, where cycles and proofs decide the interior, its points' work is what their
// lanes ran: more of them than the proofs decided.
TEST_P(KernelFeedTest, PointsSetApartDeepInTheSet) {
  const EscapeParams params = MakeEscapeParams(Dive(20));
  std::vector<double> ys;
  for (std::size_t row = 0; row < RowSteps().size(); row += 40) ys.push_back(RowSteps()[row]);
  RecordingFeed feed(ys.size(), {2});
  feed.SetApart(ColumnSteps().size(), 5, 3);
  KernelStats stats;
  SetKernelStats(&stats);
  ComputeFed(params, ys, ColumnSteps(), feed, scratch_);
  SetKernelStats(nullptr);
  int decided_early = 0;
  ExpectEveryPointOnce(feed, params, ys, &decided_early);
  EXPECT_GT(stats.proven_points.load(), 0u);
  EXPECT_GT(static_cast<std::uint64_t>(decided_early), stats.proven_points.load());
}

// A row the lanes cannot take (its c_imag squares past the largest double) comes back with the
// plain loop's counts and a fault; its neighbours with none. The plain loop's status stands.
TEST_P(KernelFeedTest, AWildRowComesBackWithItsFault) {
  for (std::int32_t cap : {16, 4096}) {
    EscapeParams params;
    params.scale = 1e-2;
    params.cap = cap;
    const std::vector<double> ys{25.0, 1.7e308, -30.0, 10.0};
    RecordingFeed feed(ys.size(), {1});
    std::feclearexcept(FE_ALL_EXCEPT);
    ComputeFed(params, ys, ColumnSteps(), feed, scratch_);
    EXPECT_NE(std::fetestexcept(FE_OVERFLOW), 0) << "cap " << cap;
    std::feclearexcept(FE_ALL_EXCEPT);
    ASSERT_EQ(feed.rows_seen_.size(), ys.size());
    std::vector<std::int32_t> plain(ColumnSteps().size());
    for (std::size_t r = 0; r < ys.size(); ++r) {
      ComputeRowScalar(params, ys[r], ColumnSteps(), plain);
      EXPECT_EQ(feed.rows_seen_[r].counts, plain) << "cap " << cap << " row " << r;
      EXPECT_EQ(feed.rows_seen_[r].fault, r == 1) << "cap " << cap << " row " << r;
    }
    std::feclearexcept(FE_ALL_EXCEPT);
  }
}

// The deepest views take seconds; abandoned early, the kernel returns without taking or
// finishing any more rows.
TEST_P(KernelFeedTest, StopsSoonOnceAbandoned) {
  for (int clicks : {4, 22}) {
    RecordingFeed feed(RowSteps().size(), {8});
    feed.abandon_at_poll_ = 20;
    ComputeFed(MakeEscapeParams(Dive(clicks)), RowSteps(), ColumnSteps(), feed, scratch_);
    EXPECT_EQ(feed.late_calls_, 0) << clicks << " clicks";
    EXPECT_LT(feed.rows_seen_.size(), RowSteps().size()) << clicks << " clicks";
  }
}

}  // namespace
}  // namespace fractal
