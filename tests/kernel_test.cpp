// The escape-time kernel: every target, forced in turn, gives exactly EscapeCount's counts and
// the literal reference's, on whole views, deep views, odd row widths and random views.
#include "render/kernel/kernel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "render/kernel/chunks.h"
#include "render/kernel/escape_time.h"
#include "render/view_steps.h"
#include "runtime/runtime.h"
#include "support/click_views.h"
#include "support/kernel_testing.h"
#include "support/reference_drawing.h"
#include "view/view_state.h"

namespace fractal {
namespace {

// Sanitizer and unoptimised builds check fewer random views and rows, and shallower ones: the
// deepest views have points whose orbits take millions of steps to repeat exactly. The first
// random views run in every test run, the rest in the exhaustive set.
#if defined(__OPTIMIZE__) && !defined(__SANITIZE_ADDRESS__)
constexpr int kQuickRandomViews = 60;
constexpr int kRandomViews = 300;
constexpr int kMaxRandomClicks = 26;
constexpr std::int64_t kRandomBudget = std::int64_t{1} << 16;
constexpr int kSampleScale = 4;
#else
constexpr int kQuickRandomViews = 20;
constexpr int kRandomViews = 80;
constexpr int kMaxRandomClicks = 16;
constexpr std::int64_t kRandomBudget = std::int64_t{1} << 12;
constexpr int kSampleScale = 1;
#endif

using testing::CentreClicks;
using testing::ClickAt;
using testing::Dive;
using testing::PlainCount;
using testing::TargetName;

std::vector<std::int32_t> KernelRow(const EscapeParams& params, double y,
                                    std::span<const double> xs) {
  std::vector<std::int32_t> counts(xs.size(), -1);
  ComputeRow(params, y, xs, counts);
  return counts;
}

// The counts of some rows of a view by EscapeCount's loop, each confirmed by the literal
// reference; nullopt where the loop gave up after `budget` iterations.
struct ExpectedRows {
  ViewState view;
  std::vector<int> rows;
  std::int64_t budget = 0;
  std::vector<std::vector<std::optional<std::int32_t>>> counts;  // per row, per column
};

ExpectedRows Expect(const ViewState& view, std::vector<int> rows, std::int64_t budget) {
  ExpectedRows expected{view, std::move(rows), budget, {}};
  const EscapeParams params = MakeEscapeParams(view);
  const std::span<const double> xs = ColumnSteps();
  for (int row : expected.rows) {
    const double y = RowSteps()[row];
    const double ci = (y + params.offset_y) * params.scale;
    auto& counts = expected.counts.emplace_back();
    for (double x : xs) {
      std::optional<std::int32_t> n =
          PlainCount((x + params.offset_x) * params.scale, ci, params.cap, budget);
      if (n) {
        EXPECT_EQ(*n, testing::ReferenceCount(view, x, y)) << "row " << row << " x " << x;
      }
      counts.push_back(n);
    }
  }
  return expected;
}

// Compares every supported target's counts with `expected`, computed once for all of them; points
// the plain loop gave up on must have a kernel count of at least the budget. Returns the points
// compared per target, or -1 after reporting the first mismatch.
int CompareTargets(const ExpectedRows& expected, const std::string& what) {
  const EscapeParams params = MakeEscapeParams(expected.view);
  int compared = 0;
  for (KernelTarget target : SupportedKernelTargets()) {
    const testing::ForcedTarget forced(target);
    compared = 0;
    for (std::size_t r = 0; r < expected.rows.size(); ++r) {
      const int row = expected.rows[r];
      const std::vector<std::int32_t> counts = KernelRow(params, RowSteps()[row], ColumnSteps());
      for (std::size_t i = 0; i < counts.size(); ++i) {
        const std::optional<std::int32_t> plain = expected.counts[r][i];
        if (plain ? counts[i] == *plain : counts[i] >= expected.budget) {
          compared += plain.has_value();
          continue;
        }
        ADD_FAILURE() << KernelTargetName(target) << ", " << what << " row " << row << " column "
                      << i << ": kernel " << counts[i] << ", expected "
                      << (plain ? std::to_string(*plain)
                                : "past " + std::to_string(expected.budget));
        return -1;
      }
    }
  }
  return compared;
}

std::vector<int> AllRows() {
  std::vector<int> rows(RowSteps().size());
  for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<int>(i);
  return rows;
}

std::vector<int> EveryNthRow(int n, int first = 0) {
  std::vector<int> rows;
  for (int row = first; row < static_cast<int>(RowSteps().size()); row += n) rows.push_back(row);
  return rows;
}

class KernelTargetTest : public testing::EveryTarget {};

INSTANTIATE_TEST_SUITE_P(Targets, KernelTargetTest, ::testing::ValuesIn(SupportedKernelTargets()),
                         TargetName);

TEST_P(KernelTargetTest, IsTheActiveTargetWhenForced) {
  EXPECT_EQ(ActiveKernelTarget(), GetParam());
}

// The whole views and samples of deep ones are computed by the reference once, then compared
// with each target in turn.
TEST(KernelAllTargets, InitialViewWhole) {
  const ExpectedRows expected = Expect(testing::InitialView(), AllRows(), 16);
  EXPECT_EQ(CompareTargets(expected, "initial"),
            static_cast<int>(RowSteps().size() * ColumnSteps().size()));
}

// Dives 1 to 22 on every target: whole views while the reference is quick, then rows spread
// over the view. Two shallow ones and two deep ones run in every test run, the rest in the
// exhaustive set.
bool IsQuickDive(int clicks) { return clicks == 1 || clicks == 4 || clicks == 12 || clicks == 22; }

void ExpectDiveViews(bool quick) {
  for (int clicks = 1; clicks <= 22; ++clicks) {
    if (IsQuickDive(clicks) != quick) continue;
    const std::vector<int> rows = clicks <= 4    ? AllRows()
                                  : clicks <= 12 ? EveryNthRow(80 / kSampleScale, clicks)
                                                 : EveryNthRow(200 / kSampleScale, clicks);
    const ExpectedRows expected = Expect(Dive(clicks), rows, std::int64_t{1} << 18);
    ASSERT_GE(CompareTargets(expected, "dive " + std::to_string(clicks)), 0);
  }
}

TEST(KernelAllTargets, DiveViewsWholeWhileShallowThenSampled) { ExpectDiveViews(true); }

TEST(ExhaustiveKernelAllTargets, DiveViewsWholeWhileShallowThenSampled) { ExpectDiveViews(false); }

TEST(KernelAllTargets, AlmostAllInteriorAfterTwelveCentreClicks) {
  const ViewState view = CentreClicks(12);
  const EscapeParams params = MakeEscapeParams(view);
  // Cycle detection finds the points here periodic; the reference confirms sampled rows.
  const ExpectedRows expected = Expect(view, EveryNthRow(200 / kSampleScale, 7), params.cap);
  EXPECT_GT(CompareTargets(expected, "centre 12"), 0);
}

TEST_P(KernelTargetTest, AlmostAllInteriorAfterTwelveCentreClicks) {
  const EscapeParams params = MakeEscapeParams(CentreClicks(12));
  int capped = 0;
  for (double y : RowSteps()) {
    for (std::int32_t n : KernelRow(params, y, ColumnSteps())) capped += n == params.cap;
  }
  EXPECT_GT(capped, 150000);
}

TEST_P(KernelTargetTest, CountsDoNotDependOnCycleDetection) {
  for (const ViewState& view : {CentreClicks(6), Dive(6), Dive(9)}) {
    const EscapeParams params = MakeEscapeParams(view);
    for (int row : EveryNthRow(10)) {
      const double y = RowSteps()[row];
      SetCycleDetection(true);
      const std::vector<std::int32_t> with = KernelRow(params, y, ColumnSteps());
      SetCycleDetection(false);
      const std::vector<std::int32_t> without = KernelRow(params, y, ColumnSteps());
      ASSERT_EQ(with, without) << "row " << row;
    }
  }
}

TEST_P(KernelTargetTest, RowWidthsThatAreNotAMultipleOfTheLanes) {
  for (const ViewState& view : {testing::InitialView(), Dive(8), CentreClicks(5)}) {
    const EscapeParams params = MakeEscapeParams(view);
    const std::span<const double> columns = ColumnSteps();
    for (std::size_t width : {1, 2, 3, 5, 7, 9, 13, 17, 31, 33, 400}) {
      for (std::size_t first : {std::size_t{0}, std::size_t{1}, columns.size() - width}) {
        const std::span<const double> xs = columns.subspan(first, width);
        for (int row : EveryNthRow(57, 11)) {
          const double y = RowSteps()[row];
          const std::vector<std::int32_t> counts = KernelRow(params, y, xs);
          const double ci = (y + params.offset_y) * params.scale;
          for (std::size_t i = 0; i < width; ++i) {
            ASSERT_EQ(counts[i],
                      EscapeCount((xs[i] + params.offset_x) * params.scale, ci, params.cap))
                << "width " << width << " first " << first << " row " << row;
          }
        }
      }
    }
  }
}

TEST_P(KernelTargetTest, AnEmptyRowIsFine) {
  const EscapeParams params = MakeEscapeParams(testing::InitialView());
  std::vector<std::int32_t> counts;
  ComputeRow(params, 0.5, std::span<const double>(), counts);
  EXPECT_TRUE(counts.empty());
}

// Views [first, end) of one random sequence, a row or two of each, on every target.
void ExpectRandomViews(int first, int end) {
  std::mt19937 random(20261208);
  std::int64_t compared = 0;
  for (int v = 0; v < end; ++v) {
    const ViewState view = testing::RandomView(random, kMaxRandomClicks);
    const int last = static_cast<int>(RowSteps().size()) - 1;
    const int row = std::uniform_int_distribution<int>(0, last)(random);
    if (v < first) continue;
    std::vector<int> rows{row};
    if (view.Zoom <= 64) rows.push_back((row + 200) % (last + 1));
    const int n =
        CompareTargets(Expect(view, rows, kRandomBudget),
                       "random view " + std::to_string(v) + " zoom " + std::to_string(view.Zoom));
    ASSERT_GE(n, 0);
    compared += n;
  }
  EXPECT_GT(compared, (end - first) * 200);
}

TEST(KernelAllTargets, RandomViews) { ExpectRandomViews(0, kQuickRandomViews); }

TEST(ExhaustiveKernelAllTargets, RandomViews) {
  ExpectRandomViews(kQuickRandomViews, kRandomViews);
}

// One iteration with the products fused into the sums, as a compiler contracting the kernel's
// expressions would have it.
std::int32_t FusedCount(double cr, double ci, std::int32_t cap) {
  double zr = 0;
  double zi = 0;
  std::int32_t n = 0;
  for (; n < cap; ++n) {
    const double zi2 = zi * zi;
    if (std::fma(zr, zr, zi2) >= 4.0) break;
    const double t = std::fma(zr, zr, -zi2) + cr;
    zi = std::fma(2 * zr, zi, ci);
    zr = t;
  }
  return n;
}

TEST_P(KernelTargetTest, NoFusedMultiplyAdd) {
  const ViewState view = Dive(10);
  const EscapeParams params = MakeEscapeParams(view);
  const std::span<const double> xs = ColumnSteps();
  int differing = 0;
  for (int row : EveryNthRow(4)) {
    const double y = RowSteps()[row];
    const double ci = (y + params.offset_y) * params.scale;
    const std::vector<std::int32_t> counts = KernelRow(params, y, xs);
    for (std::size_t i = 0; i < xs.size(); ++i) {
      const double cr = (xs[i] + params.offset_x) * params.scale;
      const std::int32_t fused = FusedCount(cr, ci, params.cap);
      const std::int32_t plain = EscapeCount(cr, ci, params.cap);
      if (fused == plain) continue;
      ++differing;
      ASSERT_EQ(counts[i], plain) << "row " << row << " column " << i;
      ASSERT_NE(counts[i], fused) << "row " << row << " column " << i;
    }
  }
  // Enough points where fusing would show.
  EXPECT_GT(differing, 50);
}

// Lanes whose c is below kUntestedBelow test for escape only at the end of a block, which is exact
// only if no state that fails the test is followed by one that passes. The hardest case: |z| just
// over 2, with z^2 pointing against c, and c at that bound.
TEST(KernelUntestedSteps, AStateThatFailsTheEscapeTestIsNeverFollowedByOneThatPasses) {
  std::mt19937_64 random(9);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const auto fails = [](double zr, double zi) { return !(zr * zr + zi * zi < 4.0); };
  int tried = 0;
  for (int trial = 0; trial < 100000; ++trial) {
    const double share = unit(random);
    const double cr = std::copysign(kernel_detail::kUntestedBelow * share, unit(random) - 0.5);
    const double ci =
        std::copysign(kernel_detail::kUntestedBelow * (1 - share), unit(random) - 0.5);
    const double half_angle = (std::atan2(-ci, -cr) + 1e-3 * (unit(random) - 0.5)) / 2;
    const double radius = 2.0 * (1.0 + 0x1p-50 * std::floor(64 * unit(random)));
    double zr = radius * std::cos(half_angle);
    double zi = radius * std::sin(half_angle);
    if (!fails(zr, zi)) continue;
    ++tried;
    for (int step = 0; step < 64; ++step) {
      StepOrbit(cr, ci, zr, zi);
      ASSERT_TRUE(fails(zr, zi)) << "c = " << cr << " + " << ci << "i, step " << step;
    }
  }
  EXPECT_GT(tried, 10000);
}

TEST_P(KernelTargetTest, RaisesNoFloatingPointFaultOnAViewTheViewerReaches) {
  // Escaped lanes go on iterating until the next look at the lanes and may overflow; the
  // scalar loop never does, so neither may the kernel's status.
  const EscapeParams params = MakeEscapeParams(Dive(3));
  std::feclearexcept(FE_ALL_EXCEPT);
  for (double y : RowSteps()) KernelRow(params, y, ColumnSteps());
  EXPECT_EQ(std::fetestexcept(kFloatingPointFaults), 0);
}

TEST_P(KernelTargetTest, KeepsAFaultRaisedBeforeIt) {
  const EscapeParams params = MakeEscapeParams(testing::InitialView());
  std::feclearexcept(FE_ALL_EXCEPT);
  std::feraiseexcept(FE_OVERFLOW);
  KernelRow(params, 0.5, ColumnSteps());
  EXPECT_NE(std::fetestexcept(FE_OVERFLOW), 0);
  std::feclearexcept(FE_ALL_EXCEPT);
}

TEST_P(KernelTargetTest, AWildViewGetsTheScalarCountsAndStatus) {
  EscapeParams params;
  params.offset_x = 1e300;
  params.scale = 1e10;  // (x + 1e300) * 1e10 overflows
  params.cap = 64;
  std::feclearexcept(FE_ALL_EXCEPT);
  std::vector<std::int32_t> expected(ColumnSteps().size());
  ComputeRowScalar(params, 0.25, ColumnSteps(), expected);
  const int expected_status = std::fetestexcept(kFloatingPointFaults);
  std::feclearexcept(FE_ALL_EXCEPT);
  EXPECT_EQ(KernelRow(params, 0.25, ColumnSteps()), expected);
  EXPECT_EQ(std::fetestexcept(kFloatingPointFaults), expected_status);
  EXPECT_NE(expected_status, 0);
  std::feclearexcept(FE_ALL_EXCEPT);
}

TEST_P(KernelTargetTest, CountsExecutedIterations) {
  KernelStats stats;
  SetKernelStats(&stats);
  const EscapeParams params = MakeEscapeParams(CentreClicks(8));
  std::int64_t counted = 0;
  for (int row : EveryNthRow(50)) {
    for (std::int32_t n : KernelRow(params, RowSteps()[row], ColumnSteps())) counted += n;
  }
  SetKernelStats(nullptr);
  EXPECT_EQ(stats.rows, EveryNthRow(50).size());
  EXPECT_EQ(stats.points, EveryNthRow(50).size() * ColumnSteps().size());
  // Interior points stop at their cycles, long before the cap.
  EXPECT_GT(stats.executed_iterations, stats.points);
  EXPECT_LT(stats.executed_iterations * 10, static_cast<std::uint64_t>(counted));
}

std::vector<std::string> TargetNames() {
  std::vector<std::string> names;
  for (KernelTarget t : SupportedKernelTargets()) names.push_back(KernelTargetName(t));
  return names;
}

// Every instruction set of the processor family that this CPU runs is compiled in, down to the
// one-lane fallback, and the best leads.
TEST(KernelDispatch, EveryTargetOfTheFamilyIsThereBestFirst) {
  const std::vector<std::string> names = TargetNames();
  ASSERT_FALSE(names.empty());
  EXPECT_EQ(names.back(), "SCALAR");
  EXPECT_EQ(ActiveKernelTarget(), SupportedKernelTargets().front());
  const auto has = [&](const char* name) {
    return std::find(names.begin(), names.end(), name) != names.end();
  };
#if defined(__x86_64__)
  EXPECT_EQ(has("SSE4"), __builtin_cpu_supports("sse4.2") != 0);
  EXPECT_EQ(has("AVX2"), __builtin_cpu_supports("avx2") != 0);
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
      __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl")) {
    EXPECT_EQ(names.front(), "AVX3");
  }
#elif defined(__aarch64__)
  EXPECT_TRUE(has("NEON"));
  EXPECT_EQ(names.front(), "NEON");
#endif
}

TEST(KernelDispatch, ForcingPicksATargetAndOnlyOneThisCpuRuns) {
  for (KernelTarget t : SupportedKernelTargets()) {
    ForceKernelTarget(t);
    EXPECT_EQ(ActiveKernelTarget(), t) << KernelTargetName(t);
  }
  ForceKernelTarget(std::nullopt);
  EXPECT_EQ(ActiveKernelTarget(), SupportedKernelTargets().front());
  // No target, two at once (the best and the fallback), a bit no target has.
  const KernelTarget both{SupportedKernelTargets().front().bits | (std::int64_t{1} << 62)};
  for (KernelTarget t : {KernelTarget{0}, both, KernelTarget{std::int64_t{1} << 40}}) {
    EXPECT_THROW(ForceKernelTarget(t), std::invalid_argument) << t.bits;
  }
  EXPECT_EQ(ActiveKernelTarget(), SupportedKernelTargets().front());
}

}  // namespace
}  // namespace fractal
