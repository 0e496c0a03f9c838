#include "render/kernel/escape_time.h"

#include "runtime/runtime.h"

namespace fractal {

EscapeParams MakeEscapeParams(const ViewState& view) {
  EscapeParams params;
  params.cap = CheckedMultiply(16, view.Zoom);
  params.offset_x = view.OffsetX;
  params.offset_y = view.OffsetY;
  params.scale = 1.0 / view.Zoom;
  params.half_zoom = view.Zoom * 0.5;
  return params;
}

std::int32_t EscapeCount(double c_real, double c_imag, std::int32_t cap) {
  return EscapeCountFrom(0, 0, c_real, c_imag, cap);
}

std::int32_t EscapeCountFrom(double z_real, double z_imag, double c_real, double c_imag,
                             std::int32_t cap) {
  double zr = z_real;
  double zi = z_imag;
  std::int32_t n = 0;
  // sqrt is correctly rounded, so sqrt(s) >= 2 exactly when s >= 4.
  for (; n < cap; ++n) {
    if (StepOrbit(c_real, c_imag, zr, zi) >= 4.0) break;
  }
  return n;
}

void ComputeRowScalar(const EscapeParams& params, double y, std::span<const double> xs,
                      std::span<std::int32_t> counts) {
  const double c_imag = (y + params.offset_y) * params.scale;
  for (std::size_t i = 0; i < xs.size(); ++i) {
    counts[i] = EscapeCount((xs[i] + params.offset_x) * params.scale, c_imag, params.cap);
  }
}

std::int16_t RedOf(std::int32_t n, const EscapeParams& params) {
  return RoundToInt16((16.0 * n) / params.half_zoom);
}

}  // namespace fractal
