#include "tests/e2e/view_path.h"

#include <algorithm>
#include <cmath>

#include "support/reference_drawing.h"

namespace fractal::e2e {
namespace {

int SurfacePixel(double view_coordinate, std::int16_t centre) {
  const long pixel = centre + std::lround(100 * view_coordinate);
  return static_cast<int>(std::clamp<long>(pixel, 0, kSurfaceSize - 1));
}

std::size_t IndexOf(const std::vector<int>& values, long value) {
  return static_cast<std::size_t>(std::find(values.begin(), values.end(), value) - values.begin());
}

}  // namespace

ViewState ViewAfterClick(ViewState view, Pixel pixel) {
  TrackPointer(view, static_cast<float>(pixel.column), static_cast<float>(pixel.row));
  ZoomAtPointer(view);
  return view;
}

Pixel DivePixel(const ViewState& view) {
  return {SurfacePixel(kDiveReal * view.Zoom - view.OffsetX, view.CenterX),
          SurfacePixel(kDiveImaginary * view.Zoom - view.OffsetY, view.CenterY)};
}

ReferenceRows ComputeReferenceRows(const ViewState& view, const std::vector<int>& rows,
                                   int column_stride) {
  ReferenceRows reference{rows, column_stride, {}};
  const std::size_t columns = (kSurfaceSize + column_stride - 1) / column_stride;
  reference.colours.assign(rows.size(), std::vector<Colour>(columns, 0));
  // The same walk over the view square as the whole reference picture, points computed only
  // where they land on a sampled pixel; a later point on the same pixel replaces an earlier.
  for (double y = 2.0; y >= -2.0; y = -0.01 + y) {
    const long row = std::lrint(static_cast<float>(y * 100 + view.CenterY));
    const std::size_t row_index = IndexOf(rows, row);
    if (row_index == rows.size()) continue;
    for (double x = -2.0; x <= 2.0; x = 0.01 + x) {
      const long column = std::lrint(static_cast<float>(x * 100 + view.CenterX));
      if (column < 0 || column >= kSurfaceSize || column % column_stride != 0) continue;
      reference.colours[row_index][column / column_stride] =
          testing::ReferenceColour(view, testing::ReferenceCount(view, x, y), 0);
    }
  }
  return reference;
}

std::optional<ReferenceRows> LowestColouredRow(const ViewState& view) {
  for (int row = kSurfaceSize - 1; row > 0; --row) {
    ReferenceRows reference = ComputeReferenceRows(view, {row});
    if (!reference.AllBlack()) return reference;
  }
  return std::nullopt;
}

std::string ReferenceRows::DifferenceFrom(const Picture& picture) const {
  std::size_t differing = 0;
  std::string first;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    for (std::size_t c = 0; c < colours[r].size(); ++c) {
      const std::size_t column = c * column_stride;
      const Colour got = picture[static_cast<std::size_t>(rows[r]) * kSurfaceSize + column];
      if (got == colours[r][c]) continue;
      if (differing++ == 0) {
        first = "row " + std::to_string(rows[r]) + " column " + std::to_string(column) + ": got " +
                std::to_string(got) + ", want " + std::to_string(colours[r][c]);
      }
    }
  }
  if (differing == 0) return "";
  return std::to_string(differing) + " sampled pixels differ; the first at " + first;
}

bool ReferenceRows::AllBlack() const {
  return std::all_of(colours.begin(), colours.end(), [](const std::vector<Colour>& row) {
    return std::all_of(row.begin(), row.end(), [](Colour colour) { return colour == 0; });
  });
}

}  // namespace fractal::e2e
