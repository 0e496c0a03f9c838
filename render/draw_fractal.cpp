#include "render/draw_fractal.h"

#include <vector>

#include "render/view_steps.h"
#include "runtime/runtime.h"

namespace fractal {
namespace {

// How long the window thread waits for a row before it handles the window's events again.
constexpr std::chrono::milliseconds kEventInterval{5};

// The colours of escape counts are tabulated up to this cap; deeper views, whose drawings the
// iteration dominates, work them out point by point.
constexpr std::int32_t kTabulatedCap = 1 << 12;

// What stays fixed through one drawing. A click's new view starts a new drawing, and the one it
// interrupts stops, so no drawing ever sees its view change.
struct DrawingPlan {
  DrawingPlan(const ViewState& view, const EscapeParams& escape) : params(escape) {
    for (double x : ColumnSteps()) columns.push_back(SurfaceColumn(view, x));
    if (params.cap > kTabulatedCap) return;
    for (std::int32_t n = 0; n < params.cap; ++n)
      reds.push_back(BuildColour(RedOf(n, params), 0, 0));
  }

  Colour EscapeColour(std::int32_t n) const {
    if (static_cast<std::size_t>(n) < reds.size()) return reds[n];
    return BuildColour(RedOf(n, params), 0, 0);
  }

  EscapeParams params;
  std::vector<float> columns;  // surface column of each point of a row
  std::vector<Colour> reds;    // colour of each count below the cap, for shallow views
};

Colour PointColour(Platform& platform, std::int32_t n, const DrawingPlan& plan) {
  if (n != plan.params.cap) return plan.EscapeColour(n);
  // The background is read for this very point: it is whatever the window shows now.
  Colour background = 0;
  RequireCall(platform.ReadBackColour(background), "read the background colour");
  return background;
}

void SetRow(Platform& platform, const ViewState& view, const DrawingPlan& plan, double y,
            const RowCounts& row, std::vector<SurfacePoint>& points) {
  if (row.floating_point_fault) RaiseFloatingPointError("escape-time iteration");
  const float surface_row = SurfaceRow(view, y);
  points.resize(plan.columns.size());
  for (std::size_t i = 0; i < points.size(); ++i) {
    points[i] = {plan.columns[i], surface_row, PointColour(platform, row.counts[i], plan)};
  }
  RequireCall(platform.SetPoints(points) == points.size(), "set a point");
}

// Waits for a row, handling the window's events meanwhile just as after a row: a deep row can
// take seconds, and a click must not wait for it. False once a newer drawing has run, whose
// view this drawing's rows no longer belong to.
bool AwaitRow(Platform& platform, RowSource& rows, int row, const DrawingCounter& drawings,
              std::uint64_t this_drawing) {
  while (!rows.WaitForRow(row, kEventInterval)) {
    platform.PumpEventsWhileWaiting();
    if (drawings.started != this_drawing) return false;
  }
  return true;
}

}  // namespace

void DrawFractal(Platform& platform, ViewState& view, RowSource& rows, DrawingCounter& drawings) {
  RequireCall(platform.SetCaption("Drawing..."), "set the caption");
  view.StopRequested = kFalse;
  const std::uint64_t this_drawing = ++drawings.started;
  const DrawingPlan plan(view, MakeEscapeParams(view));
  rows.Begin(plan.params);
  std::vector<SurfacePoint> points;
  const std::span<const double> ys = RowSteps();
  for (std::size_t row = 0; row < ys.size(); ++row) {
    const int index = static_cast<int>(row);
    if (!AwaitRow(platform, rows, index, drawings, this_drawing)) return;
    SetRow(platform, view, plan, ys[row], rows.Row(index), points);
    platform.PumpEvents();
    if (drawings.started != this_drawing) return;
  }
  RequireCall(platform.SetCaption("Ready."), "set the caption");
}

}  // namespace fractal
