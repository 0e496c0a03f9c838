// Which pixel a point set at single-precision surface coordinates lands on.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <span>

#include "platform/platform.h"

namespace fractal {

// The nearest whole pixel (ties to even) of a coordinate, if it lies on an axis `extent` pixels
// long. Whole coordinates, the usual case, skip the rounding call.
inline std::optional<std::size_t> PixelOnAxis(float coordinate, int extent) {
  if (!(coordinate > -1.0f && coordinate < static_cast<float>(extent))) return std::nullopt;
  const int whole = static_cast<int>(coordinate);
  const float pixel =
      static_cast<float>(whole) == coordinate ? coordinate : std::nearbyint(coordinate);
  if (pixel < 0 || pixel >= static_cast<float>(extent)) return std::nullopt;
  return static_cast<std::size_t>(pixel);
}

// Index into a row-major surface of `width` x `height` pixels, if the point lies on it.
inline std::optional<std::size_t> PixelIndex(float x, float y, int width, int height) {
  const std::optional<std::size_t> column = PixelOnAxis(x, width);
  const std::optional<std::size_t> row = PixelOnAxis(y, height);
  if (!column || !row) return std::nullopt;
  return *row * static_cast<std::size_t>(width) + *column;
}

// Puts each point that lies on the surface onto it, in order, as pixel(colour); returns how many
// landed. A drawing sets a row of points at one height, so the row's pixel is found once for
// each run of points at the same height.
template <class Pixel, class ToPixel>
std::size_t PaintPoints(std::span<const SurfacePoint> points, std::span<Pixel> surface, int width,
                        int height, ToPixel pixel) {
  std::size_t landed = 0;
  float run_y = std::numeric_limits<float>::quiet_NaN();  // equal to no height
  std::optional<std::size_t> row;
  for (const SurfacePoint& point : points) {
    // Heights that compare equal (0 and -0 among them) land on the same row.
    if (!(point.y == run_y)) {
      run_y = point.y;
      row = PixelOnAxis(point.y, height);
    }
    if (!row) continue;
    if (const auto column = PixelOnAxis(point.x, width)) {
      surface[*row * static_cast<std::size_t>(width) + *column] = pixel(point.colour);
      ++landed;
    }
  }
  return landed;
}

}  // namespace fractal
