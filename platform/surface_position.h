// Which pixel a point set at single-precision surface coordinates lands on.
#pragma once

#include <cmath>
#include <cstddef>
#include <optional>

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

}  // namespace fractal
