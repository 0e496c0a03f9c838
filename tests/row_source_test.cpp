// Row sources: threaded ones give the rows a serial one computes, for the view last begun.
#include "render/row_source.h"

#include <gtest/gtest.h>

#include <vector>

#include "render/threaded_row_source.h"
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

}  // namespace
}  // namespace fractal
