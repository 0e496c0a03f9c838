#include "platform/platform.h"

namespace fractal {

std::size_t Platform::SetPoints(std::span<const SurfacePoint> points) {
  std::size_t set = 0;
  for (const SurfacePoint& point : points) {
    if (!SetPoint(point)) break;
    ++set;
  }
  return set;
}

}  // namespace fractal
