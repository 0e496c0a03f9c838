// The icon's picture: a square of packed colours, made smaller by averaging or by sampling, and
// written out as SVG.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace fractal {

// How many cells across the scalable icon has: enough for the set's shape, few enough that the
// SVG stays a few tens of kilobytes.
inline constexpr int kSvgCells = 100;

struct IconPicture {
  int size = 0;                 // pixels across and down
  std::vector<Colour> colours;  // row by row, red + 256 * green + 65536 * blue
};

// `picture` shrunk to `size` pixels across: each new pixel is the average of the area of the
// old picture it covers, every channel rounded to the nearest integer.
IconPicture Downsample(const IconPicture& picture, int size);

// `picture` at `size` cells across, each cell the colour at its centre: only colours the picture
// has, so that neighbouring cells of one colour join into one run.
IconPicture Sample(const IconPicture& picture, int size);

// An SVG drawing of `picture`, one cell a unit: one path per colour, each row's runs of that
// colour a rectangle of the path.
std::string SvgOf(const IconPicture& picture);

}  // namespace fractal
