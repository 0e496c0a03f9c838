// The escape-time arithmetic of one view: iteration counts and their colours.
#pragma once

#include <cstdint>
#include <span>

#include "view/view_state.h"

namespace fractal {

// What the iteration of one view needs, read once from the view record.
struct EscapeParams {
  double offset_x = 0;
  double offset_y = 0;
  double scale = 1;        // 1 / Zoom
  double half_zoom = 0.5;  // Zoom * 0.5, the divisor of the colour scale
  std::int32_t cap = 16;   // 16 * Zoom
};

// Raises the overflow error if the cap 16 * Zoom does not fit 32 bits.
EscapeParams MakeEscapeParams(const ViewState& view);

// One step z -> z^2 + c, as every part of the engine takes it, scalar or vector: each product and
// sum its own IEEE operation, in this order. Returns |z|^2 before the step, which the escape test
// compares with 4.
inline double StepOrbit(double c_real, double c_imag, double& z_real, double& z_imag) {
  const double r2 = z_real * z_real;
  const double i2 = z_imag * z_imag;
  const double t = (r2 - i2) + c_real;
  z_imag = c_imag + (2 * z_real) * z_imag;
  z_real = t;
  return r2 + i2;
}

// Iterations z -> z^2 + c from z = 0 until |z| >= 2 or the cap is reached.
std::int32_t EscapeCount(double c_real, double c_imag, std::int32_t cap);

// The same iterations from the state z instead of 0.
std::int32_t EscapeCountFrom(double z_real, double z_imag, double c_real, double c_imag,
                             std::int32_t cap);

// Counts of one row: view y, and the view x of each point.
void ComputeRowScalar(const EscapeParams& params, double y, std::span<const double> xs,
                      std::span<std::int32_t> counts);

// Red of a point that escaped after n iterations: (16 n) / (Zoom / 2), ties to even. 16 n is
// formed in double, where it is exact for every 32-bit n.
std::int16_t RedOf(std::int32_t n, const EscapeParams& params);

}  // namespace fractal
