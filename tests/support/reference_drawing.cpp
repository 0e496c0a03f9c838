#include "support/reference_drawing.h"

#include <cmath>

#include "runtime/runtime.h"

namespace fractal::testing {

std::int32_t ReferenceCount(const ViewState& view, double x, double y) {
  double zr = 0;
  double zi = 0;
  std::int32_t n = 0;
  for (;;) {
    const double m = std::sqrt(Power(zr, 2.0) + Power(zi, 2.0));
    const std::int32_t cap = 16 * view.Zoom;
    const bool escaped = m >= 2.0;
    const bool capped = n >= cap;
    if (escaped || capped) break;
    const double t =
        (Power(zr, 2.0) - Power(zi, 2.0)) + (x + view.OffsetX) * (1 / double(view.Zoom));
    zi = (y + view.OffsetY) * (1 / double(view.Zoom)) + (2 * zr) * zi;
    zr = t;
    n = n + 1;
  }
  return n;
}

Colour ReferenceColour(const ViewState& view, std::int32_t n, Colour background) {
  if (n == 16 * view.Zoom) return background;
  const double red = double(std::int64_t{16} * n) / (view.Zoom * 0.5);
  const long rounded = std::lrint(red);  // ties to even in the default rounding mode
  return rounded > 255 ? 255 : static_cast<Colour>(rounded);
}

std::vector<Colour> ReferencePicture(const ViewState& view, int width, int height,
                                     Colour background) {
  std::vector<Colour> surface(static_cast<std::size_t>(width) * height, background);
  for (double y = 2.0; y >= -2.0; y = -0.01 + y) {
    for (double x = -2.0; x <= 2.0; x = 0.01 + x) {
      const Colour colour = ReferenceColour(view, ReferenceCount(view, x, y), background);
      const long column = std::lrint(static_cast<float>(x * 100 + view.CenterX));
      const long row = std::lrint(static_cast<float>(y * 100 + view.CenterY));
      if (column >= 0 && column < width && row >= 0 && row < height) {
        surface[static_cast<std::size_t>(row) * width + column] = colour;
      }
    }
  }
  return surface;
}

ViewState InitialView() {
  ViewState view;
  view.CenterX = 200;
  view.CenterY = 200;
  view.Zoom = 1;
  return view;
}

}  // namespace fractal::testing
