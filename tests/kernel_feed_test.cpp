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
// back, row by row.
class RecordingFeed : public RowFeed {
 public:
  RecordingFeed(std::size_t rows, std::vector<std::size_t> sizes)
      : rows_(rows), sizes_(std::move(sizes)) {}

  Rows Take() override {
    late_calls_ += abandoned_;
    if (next_ >= rows_) return {};
    const Rows rows{next_, std::min(sizes_[batches_++ % sizes_.size()], rows_ - next_)};
    next_ += rows.count;
    return rows;
  }

  void Finished(Rows rows, std::span<const std::int32_t> counts, bool fault) override {
    late_calls_ += abandoned_;
    const std::size_t width = counts.size() / rows.count;
    for (std::size_t r = 0; r < rows.count; ++r) {
      Row& row = rows_seen_[rows.first + r];
      ++row.times;
      row.fault = fault;
      row.counts.assign(counts.begin() + r * width, counts.begin() + (r + 1) * width);
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
  };

  std::optional<int> abandon_at_poll_;
  std::map<std::size_t, Row> rows_seen_;
  int late_calls_ = 0;  // Take or Finished after Abandoned said true

 private:
  std::size_t rows_;
  std::vector<std::size_t> sizes_;
  std::size_t next_ = 0;
  std::size_t batches_ = 0;
  int polls_ = 0;
  bool abandoned_ = false;
};

class KernelFeedTest : public testing::EveryTarget {
 protected:
  KernelScratch scratch_;  // shared by the computations of a test, as a worker's is
};

INSTANTIATE_TEST_SUITE_P(Targets, KernelFeedTest, ::testing::ValuesIn(SupportedKernelTargets()),
                         TargetName);

// Small caps run fixed groups, larger ones the lane scheduler, whose batches may finish out of
// order; either way each row comes back once, with the counts it has on its own.
TEST_P(KernelFeedTest, EveryRowOnceWithItsOwnCounts) {
  for (const ViewState& view : {testing::InitialView(), Dive(4), Dive(12)}) {
    const EscapeParams params = MakeEscapeParams(view);
    RecordingFeed feed(RowSteps().size(), {1, 3, 8, 2, 5});
    ComputeFed(params, RowSteps(), ColumnSteps(), feed, scratch_);
    ASSERT_EQ(feed.rows_seen_.size(), RowSteps().size()) << "zoom " << view.Zoom;
    std::vector<std::int32_t> alone(ColumnSteps().size());
    for (const auto& [row, seen] : feed.rows_seen_) {
      ComputeRow(params, RowSteps()[row], ColumnSteps(), alone);
      ASSERT_EQ(seen.times, 1) << "zoom " << view.Zoom << " row " << row;
      ASSERT_EQ(seen.counts, alone) << "zoom " << view.Zoom << " row " << row;
      ASSERT_FALSE(seen.fault);
    }
  }
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
