// Where two pictures, or two grids of counts, differ: the one comparison every test and benchmark
// that holds whole surfaces uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace fractal::testing {

// Empty if `got` equals `expected`; otherwise how many values differ, and the first one's row,
// column and both values, for grids stored row after row, `width` values a row. Colours and
// counts are both 32-bit values.
std::string DescribeDifference(std::span<const std::int32_t> got,
                               std::span<const std::int32_t> expected, std::size_t width);

}  // namespace fractal::testing
