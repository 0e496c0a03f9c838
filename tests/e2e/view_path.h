// The views a sequence of clicks leads to, computed with the viewer's own view arithmetic, and
// reference rows of views too deep for a whole reference picture.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/viewer_session.h"
#include "view/view_state.h"

namespace fractal::e2e {

// A point on the boundary of the set where the iteration counts grow fast with every doubling:
// the drawing of a view 15 clicks deep toward it takes a tenth of a second or more.
inline constexpr double kDiveReal = -0.743643887037151;
inline constexpr double kDiveImaginary = 0.131825904205330;

struct Pixel {
  int column = 0;
  int row = 0;
};

// The view after the pointer moved to `pixel` and the button was clicked there.
ViewState ViewAfterClick(ViewState view, Pixel pixel);

// The pixel of `view` nearest to the dive's point, kept on the surface.
Pixel DivePixel(const ViewState& view);

// Some rows of the reference picture of `view`, every `column_stride`-th column of each.
struct ReferenceRows {
  std::vector<int> rows;
  int column_stride = 1;
  std::vector<std::vector<Colour>> colours;  // per row, per sampled column

  // How `picture` differs from these rows; empty when it agrees.
  std::string DifferenceFrom(const Picture& picture) const;
  bool AllBlack() const;
};
ReferenceRows ComputeReferenceRows(const ViewState& view, const std::vector<int>& rows,
                                   int column_stride = 1);

// Deep on the dive the rows drawn first, at the bottom, are black in every view; the lowest row
// with colour in it is cheap to compute and, once drawn, shows which view is on the screen.
// Nothing when the whole picture is black.
std::optional<ReferenceRows> LowestColouredRow(const ViewState& view);

}  // namespace fractal::e2e
