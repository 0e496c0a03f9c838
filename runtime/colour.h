// The one colour type the viewer, its window and its run-time services share.
#pragma once

#include <cstdint>

namespace fractal {

// A 24-bit RGB value packed as red + 256 * green + 65536 * blue.
using Colour = std::int32_t;

}  // namespace fractal
