#include "support/surface_difference.h"

namespace fractal::testing {

std::string DescribeDifference(std::span<const std::int32_t> got,
                               std::span<const std::int32_t> expected, std::size_t width) {
  if (got.size() != expected.size()) {
    return std::to_string(got.size()) + " values, expected " + std::to_string(expected.size());
  }
  std::size_t differing = 0;
  std::size_t first = 0;
  for (std::size_t i = got.size(); i-- > 0;) {
    if (got[i] == expected[i]) continue;
    ++differing;
    first = i;
  }
  if (differing == 0) return "";
  return std::to_string(differing) + " differ; the first at row " + std::to_string(first / width) +
         " column " + std::to_string(first % width) + ": " + std::to_string(got[first]) +
         " instead of " + std::to_string(expected[first]);
}

}  // namespace fractal::testing
