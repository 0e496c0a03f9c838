// Views reached by clicking as a person would, shared by the kernel tests and the benchmarks.
#pragma once

#include <cmath>

#include "support/reference_drawing.h"
#include "view/view_state.h"

namespace fractal::testing {

// A point deep in the set's boundary that keeps showing detail however far one zooms.
constexpr double kDiveReal = -0.743643887037151;
constexpr double kDiveImag = 0.131825904205330;

inline void ClickAt(ViewState& view, float column, float row) {
  TrackPointer(view, column, row);
  ZoomAtPointer(view);
}

// The view after `clicks` clicks, each at the pixel nearest the dive point.
inline ViewState Dive(int clicks) {
  ViewState view = testing::InitialView();
  for (int i = 0; i < clicks; ++i) {
    const double column = 200 + std::round(100 * (kDiveReal * view.Zoom - view.OffsetX));
    const double row = 200 + std::round(100 * (kDiveImag * view.Zoom - view.OffsetY));
    ClickAt(view, static_cast<float>(column), static_cast<float>(row));
  }
  return view;
}

// The view after `clicks` clicks at the surface centre: almost all inside the set.
inline ViewState CentreClicks(int clicks) {
  ViewState view = testing::InitialView();
  for (int i = 0; i < clicks; ++i) ClickAt(view, 200, 200);
  return view;
}

}  // namespace fractal::testing
