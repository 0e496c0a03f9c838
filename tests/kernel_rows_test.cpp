// The kernel on batches of rows and on small caps: every target, forced in turn, gives exactly
// EscapeCount's counts whatever the batch size, row width or cap, and the plain loop's
// floating-point status.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfenv>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "render/kernel/escape_time.h"
#include "render/kernel/kernel.h"
#include "render/view_steps.h"
#include "runtime/runtime.h"
#include "support/click_views.h"
#include "support/kernel_testing.h"
#include "support/least_work.h"

namespace fractal {
namespace {

using testing::CentreClicks;
using testing::Dive;
using testing::PlainCount;
using testing::TargetName;

// Unoptimised and sanitizer builds let the plain loop give up sooner, and look at fewer deep rows.
#if defined(__OPTIMIZE__) && !defined(__SANITIZE_ADDRESS__)
constexpr std::int64_t kBudget = std::int64_t{1} << 16;
constexpr bool kFull = true;
constexpr int kProofRowStride = 8;
#else
constexpr std::int64_t kBudget = std::int64_t{1} << 12;
constexpr bool kFull = false;
constexpr int kProofRowStride = 16;
#endif

// Widths that are not a multiple of any lane count or group, and the whole row (0).
#if defined(__OPTIMIZE__) && !defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kWidths[] = {0, 1, 7, 13, 33};
constexpr int kWindow = 8;
#else
constexpr std::size_t kWidths[] = {0, 7, 33};
constexpr int kWindow = 4;
#endif

// Rows [first, first + rows) of a view at columns `xs`, through ComputeRows `batch` rows at a time.
std::vector<std::int32_t> Batched(const EscapeParams& params, int first, int rows, int batch,
                                  std::span<const double> xs) {
  std::vector<std::int32_t> counts(rows * xs.size(), -1);
  for (int r = 0; r < rows; r += batch) {
    const int n = std::min(batch, rows - r);
    ComputeRows(params, RowSteps().subspan(first + r, n), xs,
                std::span(counts).subspan(r * xs.size(), n * xs.size()));
  }
  return counts;
}

class KernelRowsTest : public testing::EveryTarget {
 protected:
  // Rows [first, first + rows) in each batch size and at each width, against the plain loop;
  // where it gave up, the kernel's count must be at least the budget. Stops at the first mismatch.
  void ExpectPlainCounts(const EscapeParams& params, int first, int rows, const std::string& what) {
    const std::span<const double> columns = ColumnSteps();
    std::vector<std::optional<std::int32_t>> plain;  // per row, per column
    for (int r = first; r < first + rows; ++r) {
      const double ci = (RowSteps()[r] + params.offset_y) * params.scale;
      for (double x : columns)
        plain.push_back(PlainCount((x + params.offset_x) * params.scale, ci, params.cap, kBudget));
    }
    for (std::size_t w : kWidths) {
      const std::size_t width = w == 0 ? columns.size() : w;
      // The last `width` columns.
      const std::size_t skip = columns.size() - width;
      for (int batch : {1, 2, 3, 4, 8}) {
        const std::vector<std::int32_t> counts =
            Batched(params, first, rows, batch, columns.subspan(skip));
        for (std::size_t i = 0; i < counts.size(); ++i) {
          const std::optional<std::int32_t> n =
              plain[i / width * columns.size() + skip + i % width];
          if (n ? counts[i] == *n : counts[i] >= kBudget) continue;
          FAIL() << what << ", batches of " << batch << ", width " << width << ": row "
                 << first + i / width << " point " << i % width << " counted " << counts[i]
                 << ", expected " << (n ? std::to_string(*n) : "past the budget");
        }
      }
    }
  }

  // Consecutive rows at a few places of deep dives: every batch size splits them differently.
  void ExpectDeepViewsInEveryBatchSize(std::initializer_list<int> dives) {
    for (int clicks : dives) {
      const std::vector<int> firsts =
          clicks <= 12 && kFull ? std::vector<int>{0, 150, 196, 392} : std::vector<int>{196};
      for (int first : firsts) {
        ExpectPlainCounts(MakeEscapeParams(Dive(clicks)), first, kWindow,
                          "dive " + std::to_string(clicks));
      }
    }
  }
};

INSTANTIATE_TEST_SUITE_P(Targets, KernelRowsTest, ::testing::ValuesIn(SupportedKernelTargets()),
                         TargetName);

const int kRows = static_cast<int>(RowSteps().size());

// The cases that go on over more views, run by CI after the others.
class ExhaustiveKernelRowsTest : public KernelRowsTest {};

INSTANTIATE_TEST_SUITE_P(Targets, ExhaustiveKernelRowsTest,
                         ::testing::ValuesIn(SupportedKernelTargets()), TargetName);

// Dives 0 to 4 and the view after 5 centre clicks, whole: dives 0, 2 and 4 in every test run, the
// others in the exhaustive set.
TEST_P(KernelRowsTest, WholeShallowViewsInEveryBatchSize) {
  for (int clicks : {0, 2, 4}) {
    ExpectPlainCounts(MakeEscapeParams(Dive(clicks)), 0, kRows, "dive " + std::to_string(clicks));
  }
}

TEST_P(ExhaustiveKernelRowsTest, WholeShallowViewsInEveryBatchSize) {
  for (int clicks : {1, 3}) {
    ExpectPlainCounts(MakeEscapeParams(Dive(clicks)), 0, kRows, "dive " + std::to_string(clicks));
  }
  ExpectPlainCounts(MakeEscapeParams(CentreClicks(5)), 0, kRows, "centre 5");
}

// Dives 12 and 22 in every test run, the others in the exhaustive set.
TEST_P(KernelRowsTest, DeepViewsInEveryBatchSize) { ExpectDeepViewsInEveryBatchSize({12, 22}); }

TEST_P(ExhaustiveKernelRowsTest, DeepViewsInEveryBatchSize) {
  ExpectDeepViewsInEveryBatchSize({8, 16, 20});
}

TEST_P(KernelRowsTest, AlmostAllInteriorAfterTwelveCentreClicks) {
  const EscapeParams params = MakeEscapeParams(CentreClicks(12));
  ExpectPlainCounts(params, 196, kWindow, "centre 12");
  // The whole view in batches, against one row at a time: the periodic points are found so.
  const std::vector<std::int32_t> batched = Batched(params, 0, kRows, 8, ColumnSteps());
  const std::vector<std::int32_t> by_row = Batched(params, 0, kRows, 1, ColumnSteps());
  EXPECT_EQ(batched, by_row);
  EXPECT_GT(std::count(batched.begin(), batched.end(), params.cap), 150000);
}

// Small caps run fixed groups of points; both sides of the switch to the lane scheduler, and the
// smallest caps, on views where points escape early and late.
TEST_P(KernelRowsTest, SmallCapsAndTheSwitchToTheLaneScheduler) {
  const std::int32_t limit = kKernelGroupCapLimit;
  for (const ViewState& view : {Dive(0), Dive(2), Dive(8), CentreClicks(3)}) {
    for (std::int32_t cap : {1, 2, 3, 16, 32, 64, limit - 1, limit, limit + 1, 2 * limit}) {
      EscapeParams params = MakeEscapeParams(view);
      params.cap = cap;
      const std::string what = "zoom " + std::to_string(view.Zoom) + " cap " + std::to_string(cap);
      ExpectPlainCounts(params, 0, kFull ? kRows : 40, what);
      if (HasFatalFailure()) return;
    }
  }
}

TEST_P(KernelRowsTest, AddsEveryRowAndPointToTheStats) {
  KernelStats stats;
  SetKernelStats(&stats);
  Batched(MakeEscapeParams(Dive(4)), 0, 10, 4, ColumnSteps());
  Batched(MakeEscapeParams(testing::InitialView()), 0, 10, 3, ColumnSteps());
  SetKernelStats(nullptr);
  EXPECT_EQ(stats.rows, 20u);
  EXPECT_EQ(stats.points, 20 * ColumnSteps().size());
  EXPECT_GE(stats.executed_iterations, stats.points);
}

// Deep in the set, interior proofs and checkpoint windows a quarter of the count long spare most
// of the work of finding exact cycles. The counts are the same either way, so only the work
// shows whether they still do. On every eighth row of dive 20 the kernel ran 0.49-0.51 of the
// plain checkpoint loop's iterations on the x86-64 targets, the rows at once or one at a time;
// 0.55-0.57 with windows that double. Attempts that end at the orbit's first return leave
// unproven the points whose orbit winds slowly round its cycle: 0.68-0.70 (with doubling
// windows). When the prover left the last few proposals of a dry feed waiting for more, AVX3
// ran 0.59 (rows at once) and 0.61 (one at a time), also with doubling windows.
TEST_P(KernelRowsTest, ProofsSpareMostOfTheCycleSearchDeepInTheSet) {
  const EscapeParams params = MakeEscapeParams(Dive(20));
  std::vector<double> ys;
  std::vector<testing::PlanePoint> points;
  for (int r = 0; r < kRows; r += kProofRowStride) {
    const double y = RowSteps()[r];
    ys.push_back(y);
    for (double x : ColumnSteps()) {
      points.push_back(
          {(x + params.offset_x) * params.scale, (y + params.offset_y) * params.scale});
    }
  }
  double brent = 0;
  for (const testing::OrbitWork& work : testing::PointsWork(points, params.cap, 2)) {
    brent += static_cast<double>(work.brent);
  }
  const std::size_t width = ColumnSteps().size();
  std::vector<std::int32_t> counts(points.size());
  for (const bool row_by_row : {false, true}) {
    KernelStats stats;
    SetKernelStats(&stats);
    if (row_by_row) {
      for (std::size_t r = 0; r < ys.size(); ++r) {
        ComputeRow(params, ys[r], ColumnSteps(), std::span(counts).subspan(r * width, width));
      }
    } else {
      ComputeRows(params, ys, ColumnSteps(), counts);
    }
    SetKernelStats(nullptr);
    const double executed = static_cast<double>(stats.executed_iterations);
    EXPECT_GT(stats.proven_points, points.size() / 8) << "row by row: " << row_by_row;
    EXPECT_LT(executed, 0.53 * brent)
        << "executed " << executed / brent << " of Brent's work, row by row: " << row_by_row;
  }
}

TEST_P(KernelRowsTest, RaisesNoFloatingPointFaultOnViewsTheViewerReaches) {
  // Lanes of a group go on iterating escaped points until the whole group is done, and overflow.
  for (const ViewState& view : {testing::InitialView(), Dive(3)}) {
    std::feclearexcept(FE_ALL_EXCEPT);
    Batched(MakeEscapeParams(view), 0, kRows, 4, ColumnSteps());
    EXPECT_EQ(std::fetestexcept(kFloatingPointFaults), 0) << "zoom " << view.Zoom;
  }
}

// A batch whose middle row is wild: that row gets the plain loop's counts and status, the others
// the kernel's, and the status the plain loop raised is kept.
TEST_P(KernelRowsTest, AWildRowInABatchGetsTheScalarCountsAndStatus) {
  for (std::int32_t cap : {16, 4096}) {
    EscapeParams params;
    params.scale = 1e-2;
    params.cap = cap;
    // The middle row's c_imag, 1.7e306, squares past the largest double.
    const std::vector<double> rows{25.0, 1.7e308, -30.0};
    std::vector<std::int32_t> expected(3 * ColumnSteps().size());
    std::feclearexcept(FE_ALL_EXCEPT);
    for (int r = 0; r < 3; ++r) {
      ComputeRowScalar(params, rows[r], ColumnSteps(),
                       std::span(expected).subspan(r * ColumnSteps().size(), ColumnSteps().size()));
    }
    const int expected_status = std::fetestexcept(kFloatingPointFaults);
    std::feclearexcept(FE_ALL_EXCEPT);
    std::vector<std::int32_t> counts(expected.size(), -1);
    ComputeRows(params, rows, ColumnSteps(), counts);
    EXPECT_EQ(counts, expected) << "cap " << cap;
    EXPECT_EQ(std::fetestexcept(kFloatingPointFaults), expected_status) << "cap " << cap;
    EXPECT_NE(expected_status, 0);
  }
  std::feclearexcept(FE_ALL_EXCEPT);
}

TEST_P(KernelRowsTest, SizesMustAgree) {
  const EscapeParams params = MakeEscapeParams(testing::InitialView());
  std::vector<std::int32_t> counts(2 * ColumnSteps().size() - 1);
  EXPECT_THROW(ComputeRows(params, RowSteps().subspan(0, 2), ColumnSteps(), counts),
               std::invalid_argument);
  std::vector<std::int32_t> none;
  ComputeRows(params, RowSteps().subspan(0, 0), ColumnSteps(), none);
  ComputeRows(params, RowSteps().subspan(0, 3), std::span<const double>(), none);
}

}  // namespace
}  // namespace fractal
