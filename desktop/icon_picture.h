// The icon's picture: a square of packed colours, made smaller by averaging or by sampling, and
// written out as SVG; and the disc it is shown in, on a transparent background.
#pragma once

#include <cstdint>
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

// The icon's shape, a disc centred on the icon: its diameter is 15/16 of the icon's side, so
// that its smoothed edge stays clear of the icon's border.
inline constexpr int kDiscDiameterSixteenths = 15;

// How much of each pixel of a `size`-pixel icon the disc covers, row by row, as alpha from 0
// (outside) to 255 (inside): the share of 16 x 16 sample points of the pixel that lie in it.
std::vector<std::uint8_t> DiscCoverage(int size);

// An SVG drawing of `picture` in the disc, one cell a unit: one path per colour, each row's
// runs of that colour a rectangle of the path, all clipped to the disc.
std::string SvgOf(const IconPicture& picture);

}  // namespace fractal
