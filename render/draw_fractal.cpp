#include "render/draw_fractal.h"

#include <vector>

#include "platform/runtime.h"
#include "render/view_steps.h"

namespace fractal {
namespace {

// How long the window thread waits for a row before it looks for a close request again.
constexpr std::chrono::milliseconds kCloseCheckInterval{10};

Colour PointColour(Platform& platform, std::int32_t n, const EscapeParams& params) {
  if (n == params.cap) {
    Colour background = 0;
    RequireCall(platform.ReadBackColour(background), "read the background colour");
    return background;
  }
  return BuildColour(RedOf(n, params), 0, 0);
}

void SetRow(Platform& platform, const ViewState& view, const EscapeParams& params, double y,
            const RowCounts& row, std::vector<SurfacePoint>& points) {
  if (row.floating_point_fault) RaiseFloatingPointError("escape-time iteration");
  const std::span<const double> xs = ColumnSteps();
  const float surface_row = SurfaceRow(view, y);
  points.resize(xs.size());
  for (std::size_t i = 0; i < xs.size(); ++i) {
    points[i] = {SurfaceColumn(view, xs[i]), surface_row,
                 PointColour(platform, row.counts[i], params)};
  }
  RequireCall(platform.SetPoints(points) == points.size(), "set a point");
}

RowCounts AwaitRow(Platform& platform, RowSource& rows, int row) {
  while (!rows.WaitForRow(row, kCloseCheckInterval)) platform.PumpCloseRequest();
  return rows.Row(row);
}

}  // namespace

void DrawFractal(Platform& platform, ViewState& view, RowSource& rows, DrawingCounter& drawings) {
  RequireCall(platform.SetCaption("Drawing..."), "set the caption");
  view.StopRequested = kFalse;
  const std::uint64_t this_drawing = ++drawings.started;
  const EscapeParams params = MakeEscapeParams(view);
  rows.Begin(params);
  std::vector<SurfacePoint> points;
  const std::span<const double> ys = RowSteps();
  for (std::size_t row = 0; row < ys.size(); ++row) {
    SetRow(platform, view, params, ys[row], AwaitRow(platform, rows, static_cast<int>(row)),
           points);
    platform.PumpEvents();
    if (drawings.started != this_drawing) return;
  }
  RequireCall(platform.SetCaption("Ready."), "set the caption");
}

}  // namespace fractal
