// Row sources: threaded ones give the rows a serial one computes, for the view last begun, also
// where they count the slowest points of the last view first.
#include "render/row_source.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "render/apart_points.h"
#include "render/threaded_row_source.h"
#include "render/view_steps.h"
#include "support/click_views.h"
#include "support/reference_drawing.h"

namespace fractal {
namespace {

using namespace std::chrono_literals;

EscapeParams ViewAt(int zoom, double offset_x, double offset_y) {
  ViewState view = testing::InitialView();
  view.Zoom = zoom;
  view.OffsetX = offset_x;
  view.OffsetY = offset_y;
  return MakeEscapeParams(view);
}

std::vector<std::vector<std::int32_t>> AllRows(RowSource& source, const EscapeParams& params) {
  source.Begin(params);
  std::vector<std::vector<std::int32_t>> rows;
  for (int row = 0; row < 400; ++row) {
    while (!source.WaitForRow(row, 10ms)) {
    }
    const RowCounts counts = source.Row(row);
    EXPECT_FALSE(counts.floating_point_fault);
    rows.emplace_back(counts.counts.begin(), counts.counts.end());
  }
  return rows;
}

TEST(ThreadedRowSource, GivesTheSerialCountsForAnyThreadsAndRowsPerTask) {
  const EscapeParams params = ViewAt(8, -5.9, 0.4);
  SerialRowSource serial;
  const auto expected = AllRows(serial, params);
  for (int threads : {1, 2, 5}) {
    for (int rows_per_task : {1, 4, 7}) {  // 7 does not divide the 400 rows
      ThreadedRowSource threaded(threads, rows_per_task);
      EXPECT_EQ(AllRows(threaded, params), expected)
          << threads << " threads, " << rows_per_task << " rows a task";
    }
  }
}

TEST(ThreadedRowSource, DropsTheRowsOfAViewBegunEarlier) {
  ThreadedRowSource threaded(2);
  SerialRowSource serial;
  const EscapeParams deep = ViewAt(1 << 12, -1.0 * (1 << 12), 0.0);  // mostly interior: slow
  threaded.Begin(deep);
  ASSERT_TRUE(threaded.WaitForRow(0, 10s));
  const EscapeParams shallow = ViewAt(2, 1.0, -1.0);
  EXPECT_EQ(AllRows(threaded, shallow), AllRows(serial, shallow));
}

// The niceness of each thread of this process, from the 19th field of its stat line.
std::vector<int> ThreadNiceness() {
  std::vector<int> niceness;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream stat(task.path() / "stat");
    std::string line;
    std::getline(stat, line);
    std::istringstream fields(line.substr(line.rfind(')') + 2));  // from the 3rd field on
    std::string skipped;
    for (int field = 3; field < 19; ++field) fields >> skipped;
    int nice = 0;
    if (fields >> nice) niceness.push_back(nice);
  }
  return niceness;
}

// Workers niced below the thread that starts them (the window thread) gave most of a drawing's
// share of the cores to any busy process, and made a close wait for their next turn.
TEST(ThreadedRowSource, WorkersRunAtTheNicenessOfTheThreadThatStartsThem) {
  const int own = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
  if (own >= 19) GTEST_SKIP() << "at the least priority no thread can be niced further";
  ThreadedRowSource threaded(2);
  // After a drawing the workers have started. One that had not yet would still show the niceness
  // it inherited: the check can miss a worker, never fault a right one.
  AllRows(threaded, ViewAt(8, -5.9, 0.4));
  const std::vector<int> niceness = ThreadNiceness();
  ASSERT_GE(niceness.size(), 3u) << "the window thread and two workers";
  for (const int nice : niceness) EXPECT_EQ(nice, own);
}

// Deep views go first where the last view's orbits ran longest; the rows stay the serial ones.
TEST(ThreadedRowSource, GivesTheSerialCountsAfterADeepView) {
  ThreadedRowSource threaded(2);
  SerialRowSource serial;
  const EscapeParams parent = MakeEscapeParams(testing::Dive(17));
  const EscapeParams child = MakeEscapeParams(testing::Dive(18));
  AllRows(threaded, parent);
  EXPECT_EQ(AllRows(threaded, child), AllRows(serial, child));
}

// The index of the point of `params` nearest the plane point c, by search.
std::size_t NearestPoint(const EscapeParams& params, double c_real, double c_imag) {
  std::size_t nearest = 0;
  double least = INFINITY;
  for (std::size_t r = 0; r < RowSteps().size(); ++r) {
    for (std::size_t c = 0; c < ColumnSteps().size(); ++c) {
      const double distance =
          std::hypot((ColumnSteps()[c] + params.offset_x) * params.scale - c_real,
                     (RowSteps()[r] + params.offset_y) * params.scale - c_imag);
      if (distance < least) {
        least = distance;
        nearest = r * ColumnSteps().size() + c;
      }
    }
  }
  return nearest;
}

// The points of the next view around each slow point of the last, the slowest first.
TEST(ApartPoints, AreTheNextViewsPointsAroundTheLastOnesSlowest) {
  const EscapeParams last = MakeEscapeParams(testing::Dive(19));
  const EscapeParams next = MakeEscapeParams(testing::Dive(20));
  const std::size_t width = ColumnSteps().size();
  std::vector<std::int64_t> work(RowSteps().size() * width, 1);
  // Two slow points inside the next view, and one that ran too briefly to count.
  const std::size_t slow = 170 * width + 230;
  const std::size_t slower = 240 * width + 180;
  const std::size_t brief = 200 * width + 200;
  work[slow] = last.cap / 100;
  work[slower] = last.cap;
  work[brief] = last.cap / 1000;
  const ApartPoints plan = PlanApartPoints(last, work, next, RowSteps(), ColumnSteps());
  ASSERT_EQ(plan.points.size(), 18u);
  for (std::size_t k = 0; k < plan.points.size(); ++k) {
    const std::size_t i = k < 9 ? slower : slow;
    const std::size_t around =
        NearestPoint(next, (ColumnSteps()[i % width] + last.offset_x) * last.scale,
                     (RowSteps()[i / width] + last.offset_y) * last.scale);
    const auto point = static_cast<std::size_t>(plan.points[k]);
    EXPECT_LE(std::abs(static_cast<long>(point / width) - static_cast<long>(around / width)), 1);
    EXPECT_LE(std::abs(static_cast<long>(point % width) - static_cast<long>(around % width)), 1);
    EXPECT_EQ(plan.apart[point], 1);
  }
  EXPECT_EQ(std::count(plan.apart.begin(), plan.apart.end(), 1), 18);
  // Deep in the set an orbit proven from 2^20 iterations on counts, though far below 1/256 of the
  // cap: its neighbours may run far longer in the next view.
  const EscapeParams deep = MakeEscapeParams(testing::Dive(25));
  std::fill(work.begin(), work.end(), 1);
  work[slow] = (std::int64_t{1} << 20) + 1;
  work[brief] = (std::int64_t{1} << 20) - 1;
  EXPECT_EQ(
      PlanApartPoints(deep, work, MakeEscapeParams(testing::Dive(26)), RowSteps(), ColumnSteps())
          .points.size(),
      9u);
  // Where the last cap is small, no orbit runs long enough to matter.
  const EscapeParams shallow = MakeEscapeParams(testing::Dive(8));
  std::fill(work.begin(), work.end(), shallow.cap);
  EXPECT_TRUE(
      PlanApartPoints(shallow, work, MakeEscapeParams(testing::Dive(9)), RowSteps(), ColumnSteps())
          .points.empty());
}

}  // namespace
}  // namespace fractal
