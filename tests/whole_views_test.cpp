// Whole pictures of many random views: every target, SIMD off among them, on the window's
// thread and on worker threads, gives the same count at every one of the 160,000 points, and on
// shallow views the plain loop's count.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "render/kernel/escape_time.h"
#include "render/kernel/kernel.h"
#include "render/threaded_row_source.h"
#include "render/view_steps.h"
#include "support/kernel_testing.h"
#include "support/surface_difference.h"

namespace fractal {
namespace {

// Up to 8 clicks: deeper views, whose points take up to millions of steps, are checked on sampled
// rows by the kernel tests.
constexpr int kMaxClicks = 8;
// The plain loop is run at every point of views up to this cap.
constexpr std::int32_t kPlainCapLimit = 256;
// The first views of the sequence in every test run, the rest in the exhaustive set: a thousand
// views took 250 s in Release on a 2-core machine, ten took 46 s under the sanitizers.
#if defined(__OPTIMIZE__) && !defined(__SANITIZE_ADDRESS__)
constexpr int kQuickViews = 100;
constexpr int kDefaultViews = 1000;
#else
constexpr int kQuickViews = 4;
constexpr int kDefaultViews = 60;
#endif

// FRACTAL_TEST_VIEWS sets a smaller number, for slow machines such as an emulated arm64.
int ViewCount() {
  const char* views = std::getenv("FRACTAL_TEST_VIEWS");
  return views != nullptr ? std::max(1, std::atoi(views)) : kDefaultViews;
}

std::vector<std::int32_t> SerialCounts(const EscapeParams& params) {
  std::vector<std::int32_t> counts(RowSteps().size() * ColumnSteps().size());
  ComputeRows(params, RowSteps(), ColumnSteps(), counts);
  return counts;
}

std::vector<std::int32_t> ThreadedCounts(ThreadedRowSource& rows, const EscapeParams& params) {
  std::vector<std::int32_t> counts;
  rows.Begin(params);
  for (int row = 0; row < static_cast<int>(RowSteps().size()); ++row) {
    while (!rows.WaitForRow(row, std::chrono::milliseconds(100))) {
    }
    const RowCounts got = rows.Row(row);
    EXPECT_FALSE(got.floating_point_fault) << "row " << row;
    counts.insert(counts.end(), got.counts.begin(), got.counts.end());
  }
  return counts;
}

std::vector<std::int32_t> PlainCounts(const EscapeParams& params) {
  std::vector<std::int32_t> counts;
  for (double y : RowSteps()) {
    for (double x : ColumnSteps()) {
      counts.push_back(EscapeCount((x + params.offset_x) * params.scale,
                                   (y + params.offset_y) * params.scale, params.cap));
    }
  }
  return counts;
}

std::string FirstDifference(const std::vector<std::int32_t>& expected,
                            const std::vector<std::int32_t>& got) {
  return testing::DescribeDifference(got, expected, ColumnSteps().size());
}

// Views [first, last) of one random sequence; counts in `plain_views` those also held to the plain
// loop.
void ExpectTheSameCounts(int first, int last, int& plain_views) {
  std::mt19937 random(20261209);
  // An odd number of rows a task, so tasks straddle the views' row blocks differently.
  ThreadedRowSource threaded(3, 5);
  const KernelTarget fallback = SupportedKernelTargets().back();
  for (int v = 0; v < last; ++v) {
    const ViewState view = testing::RandomView(random, kMaxClicks);
    if (v < first) continue;
    const EscapeParams params = MakeEscapeParams(view);
    const std::string what = "view " + std::to_string(v) + " zoom " + std::to_string(view.Zoom);
    std::vector<std::int32_t> expected;
    {
      const testing::ForcedTarget forced(fallback);
      expected = SerialCounts(params);
    }
    if (params.cap <= kPlainCapLimit) {
      const std::string plain = FirstDifference(PlainCounts(params), expected);
      ASSERT_EQ(plain, "") << what << ", scalar against the plain loop";
      ++plain_views;
    }
    for (KernelTarget target : SupportedKernelTargets()) {
      const testing::ForcedTarget forced(target);
      const std::string name = KernelTargetName(target);
      if (target != fallback) {
        ASSERT_EQ(FirstDifference(expected, SerialCounts(params)), "") << what << ", " << name;
      }
      ASSERT_EQ(FirstDifference(expected, ThreadedCounts(threaded, params)), "")
          << what << ", " << name << " on 3 threads";
    }
  }
}

TEST(WholeViews, EveryTargetAndThreadCountGivesTheSameCounts) {
  const int views = std::min(ViewCount(), kQuickViews);
  int plain_views = 0;
  ExpectTheSameCounts(0, views, plain_views);
  EXPECT_GT(plain_views, views / 5);
}

TEST(ExhaustiveWholeViews, EveryTargetAndThreadCountGivesTheSameCounts) {
  const int views = ViewCount() - kQuickViews;
  if (views <= 0) GTEST_SKIP() << "no views beyond the first " << kQuickViews;
  int plain_views = 0;
  ExpectTheSameCounts(kQuickViews, ViewCount(), plain_views);
  EXPECT_GT(plain_views, views / 5);
}

}  // namespace
}  // namespace fractal
