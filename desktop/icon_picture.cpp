#include "desktop/icon_picture.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>

namespace fractal {
namespace {

int ChannelOf(Colour colour, int channel) { return (colour >> (8 * channel)) & 0xFF; }

// How much of the old pixel `old` the new pixel `cell` covers along one axis, in old pixels,
// when `from` old pixels become `to` new ones.
double Overlap(int cell, int old, int from, int to) {
  const double scale = static_cast<double>(from) / to;
  const double low = std::max(cell * scale, static_cast<double>(old));
  const double high = std::min((cell + 1) * scale, static_cast<double>(old + 1));
  return std::max(0.0, high - low);
}

std::string Hex(Colour colour) {
  char text[8];
  std::snprintf(text, sizeof text, "#%02x%02x%02x", ChannelOf(colour, 0), ChannelOf(colour, 1),
                ChannelOf(colour, 2));
  return text;
}

}  // namespace

IconPicture Downsample(const IconPicture& picture, int size) {
  const int from = picture.size;
  IconPicture small{size, std::vector<Colour>(static_cast<std::size_t>(size) * size)};
  for (int row = 0; row < size; ++row) {
    for (int column = 0; column < size; ++column) {
      double sums[3] = {0, 0, 0};
      double area = 0;
      // Only the old pixels under this new one have weight.
      const int first_row = row * from / size;
      const int first_column = column * from / size;
      for (int y = first_row; y < from && y <= (row + 1) * from / size; ++y) {
        for (int x = first_column; x < from && x <= (column + 1) * from / size; ++x) {
          const double weight = Overlap(row, y, from, size) * Overlap(column, x, from, size);
          const Colour colour = picture.colours[static_cast<std::size_t>(y) * from + x];
          for (int channel = 0; channel < 3; ++channel) {
            sums[channel] += weight * ChannelOf(colour, channel);
          }
          area += weight;
        }
      }
      Colour mean = 0;
      for (int channel = 0; channel < 3; ++channel) {
        mean |= static_cast<Colour>(std::lround(sums[channel] / area)) << (8 * channel);
      }
      small.colours[static_cast<std::size_t>(row) * size + column] = mean;
    }
  }
  return small;
}

IconPicture Sample(const IconPicture& picture, int size) {
  IconPicture sampled{size, std::vector<Colour>(static_cast<std::size_t>(size) * size)};
  for (int row = 0; row < size; ++row) {
    const int y = (2 * row + 1) * picture.size / (2 * size);
    for (int column = 0; column < size; ++column) {
      const int x = (2 * column + 1) * picture.size / (2 * size);
      sampled.colours[static_cast<std::size_t>(row) * size + column] =
          picture.colours[static_cast<std::size_t>(y) * picture.size + x];
    }
  }
  return sampled;
}

std::vector<std::uint8_t> DiscCoverage(int size) {
  // Lengths in units of 1/32 pixel: sample i of pixel x lies at 32 x + 2 i + 1, and the disc's
  // centre at 16 size; the sums stay exact integers.
  constexpr int kSamples = 16;  // along each axis of a pixel
  constexpr int kSampleCount = kSamples * kSamples;
  const std::int64_t centre = kSamples * size;
  const std::int64_t radius = centre * kDiscDiameterSixteenths / 16;
  std::vector<std::uint8_t> coverage(static_cast<std::size_t>(size) * size);
  for (int row = 0; row < size; ++row) {
    for (int column = 0; column < size; ++column) {
      int inside = 0;
      for (int i = 0; i < kSamples; ++i) {
        const std::int64_t dy = 2 * kSamples * row + 2 * i + 1 - centre;
        for (int j = 0; j < kSamples; ++j) {
          const std::int64_t dx = 2 * kSamples * column + 2 * j + 1 - centre;
          if (dx * dx + dy * dy <= radius * radius) ++inside;
        }
      }
      coverage[static_cast<std::size_t>(row) * size + column] =
          static_cast<std::uint8_t>((255 * inside + kSampleCount / 2) / kSampleCount);
    }
  }
  return coverage;
}

std::string SvgOf(const IconPicture& picture) {
  // Runs gathered per colour, in order of first appearance, so the output is stable.
  std::map<Colour, std::string> paths;
  std::vector<Colour> order;
  const int size = picture.size;
  for (int row = 0; row < size; ++row) {
    for (int start = 0; start < size;) {
      const Colour colour = picture.colours[static_cast<std::size_t>(row) * size + start];
      int end = start + 1;
      while (end < size && picture.colours[static_cast<std::size_t>(row) * size + end] == colour) {
        ++end;
      }
      auto [path, added] = paths.try_emplace(colour);
      if (added) order.push_back(colour);
      char run[64];
      std::snprintf(run, sizeof run, "M%d %dh%dv1h-%dz", start, row, end - start, end - start);
      path->second += run;
      start = end;
    }
  }
  // The cells meet edge to edge (crisp edges, no seams between them); the disc's edge is smooth.
  const double centre = size / 2.0;
  std::ostringstream svg;
  svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << size << "\" height=\"" << size
      << "\" viewBox=\"0 0 " << size << " " << size << "\">\n"
      << "<clipPath id=\"disc\"><circle cx=\"" << centre << "\" cy=\"" << centre << "\" r=\""
      << centre * kDiscDiameterSixteenths / 16 << "\"/></clipPath>\n"
      << "<g clip-path=\"url(#disc)\" shape-rendering=\"crispEdges\">\n";
  for (const Colour colour : order) {
    svg << "<path fill=\"" << Hex(colour) << "\" d=\"" << paths[colour] << "\"/>\n";
  }
  svg << "</g>\n</svg>\n";
  return svg.str();
}

}  // namespace fractal
