#include "support/literal_drawing.h"

#include <cmath>
#include <cstdint>
#include <string_view>

#include "runtime/runtime.h"

namespace fractal::testing {
namespace {

// The value of a floating-point expression, after the status has been tested for it. The
// argument is evaluated before the test runs.
template <typename T>
T Tested(T value, std::string_view what) {
  CheckFloatingPointStatus(what);
  return value;
}

std::int32_t LiteralCount(const ViewState& view, double x, double y) {
  double zr = 0;
  double zi = 0;
  std::int32_t n = 0;
  for (;;) {
    const double m = Tested(std::sqrt(Power(zr, 2.0) + Power(zi, 2.0)), "modulus");
    const std::int32_t cap = CheckedMultiply(16, view.Zoom);
    // Both conditions are evaluated before either ends the iteration.
    const bool escaped = Tested(m >= 2.0, "escape test");
    const bool capped = n >= cap;
    if (escaped || capped) break;
    const double t = Tested(
        (Power(zr, 2.0) - Power(zi, 2.0)) + (x + view.OffsetX) * (1 / double(view.Zoom)), "real");
    zi = Tested((y + view.OffsetY) * (1 / double(view.Zoom)) + (2 * zr) * zi, "imaginary");
    zr = t;
    n = CheckedAdd(n, 1);
  }
  return n;
}

Colour LiteralColour(Platform& platform, const ViewState& view, std::int32_t n) {
  if (n == CheckedMultiply(16, view.Zoom)) {
    // Whatever the window's background is at the moment this point is set.
    Colour background = 0;
    RequireCall(platform.ReadBackColour(background), "read the background colour");
    return background;
  }
  // 16 n is formed in 64 bits: late escapes of deep views would overflow 32.
  const double red = Tested(double(std::int64_t{16} * n) / (view.Zoom * 0.5), "red");
  return BuildColour(RoundToInt16(red), 0, 0);
}

}  // namespace

void LiteralDrawing(Platform& platform, const ViewState& view) {
  RequireCall(platform.SetCaption("Drawing..."), "set the caption");
  ClearFloatingPointStatus();  // flags left by earlier work are no fault of this drawing
  for (double y = 2.0; Tested(y >= -2.0, "row test"); y = Tested(-0.01 + y, "next row")) {
    for (double x = -2.0; Tested(x <= 2.0, "point test"); x = Tested(0.01 + x, "next point")) {
      const Colour colour = LiteralColour(platform, view, LiteralCount(view, x, y));
      const float column = Tested(SurfaceColumn(view, x), "surface column");
      const float row = Tested(SurfaceRow(view, y), "surface row");
      RequireCall(platform.SetPoint({column, row, colour}), "set a point");
    }
    platform.PumpEvents();
  }
  RequireCall(platform.SetCaption("Ready."), "set the caption");
}

}  // namespace fractal::testing
