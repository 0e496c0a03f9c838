// The icons' pictures: averaging down, sampling, the disc they are shown in, and the SVG they
// are written as.
#include <gtest/gtest.h>

#include <numbers>

#include "desktop/icon_picture.h"
#include "support/reference_drawing.h"

namespace fractal {
namespace {

constexpr Colour kRed = 255;

TEST(Downsample, AtTheSameSizeKeepsEveryPixel) {
  const IconPicture drawn{400, testing::ReferencePicture(testing::InitialView())};
  EXPECT_EQ(Downsample(drawn, 400).colours, drawn.colours);
}

// Three pixels become two: each new pixel covers one old pixel whole and half of the middle one.
TEST(Downsample, WeighsEachOldPixelByTheAreaItCovers) {
  const IconPicture stripe{3, {0, kRed, 0, 0, kRed, 0, 0, kRed, 0}};
  EXPECT_EQ(Downsample(stripe, 2).colours, (std::vector<Colour>{85, 85, 85, 85}));
  const IconPicture corner{2, {kRed + 256 * 100, 0, 0, 0}};
  EXPECT_EQ(Downsample(corner, 1).colours, (std::vector<Colour>{64 + 256 * 25}));
}

TEST(Sample, TakesTheColourAtEachCellsCentre) {
  std::vector<Colour> colours(16);
  for (int i = 0; i < 16; ++i) colours[i] = i;
  EXPECT_EQ(Sample({4, colours}, 2).colours, (std::vector<Colour>{5, 7, 13, 15}));
}

// Transparent corners and margin, an opaque middle, a smooth edge, and the disc's area, at every
// size the package installs.
TEST(DiscCoverage, IsTheCentredDiscWithASmoothEdge) {
  for (const int size : {48, 64, 128, 256}) {
    const std::vector<std::uint8_t> alpha = DiscCoverage(size);
    ASSERT_EQ(alpha.size(), static_cast<std::size_t>(size) * size);
    auto at = [&](int row, int column) {
      return alpha[static_cast<std::size_t>(row) * size + column];
    };
    const int last = size - 1;
    const int middle = size / 2;
    EXPECT_EQ(at(0, 0) + at(0, last) + at(last, 0) + at(last, last), 0) << size;
    EXPECT_EQ(at(middle, 0) + at(0, middle) + at(middle, last) + at(last, middle), 0) << size;
    EXPECT_EQ(at(middle, middle), 255) << size;
    double area = 0;
    int partial = 0;
    for (int row = 0; row < size; ++row) {
      for (int column = 0; column < size; ++column) {
        EXPECT_EQ(at(row, column), at(column, row));
        EXPECT_EQ(at(row, column), at(last - row, column));
        area += at(row, column) / 255.0;
        if (at(row, column) != 0 && at(row, column) != 255) ++partial;
      }
    }
    const double radius = size * kDiscDiameterSixteenths / 32.0;
    EXPECT_NEAR(area, std::numbers::pi * radius * radius, 0.002 * size * size) << size;
    EXPECT_GT(partial, size) << size << ": the edge is not smoothed";
  }
}

TEST(SvgOf, OnePathPerColourOneRectanglePerRunClippedToTheDisc) {
  const IconPicture picture{2, {kRed, kRed, 0, 256 * 255}};
  EXPECT_EQ(SvgOf(picture),
            "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"2\" height=\"2\" "
            "viewBox=\"0 0 2 2\">\n"
            "<clipPath id=\"disc\"><circle cx=\"1\" cy=\"1\" r=\"0.9375\"/></clipPath>\n"
            "<g clip-path=\"url(#disc)\" shape-rendering=\"crispEdges\">\n"
            "<path fill=\"#ff0000\" d=\"M0 0h2v1h-2z\"/>\n"
            "<path fill=\"#000000\" d=\"M0 1h1v1h-1z\"/>\n"
            "<path fill=\"#00ff00\" d=\"M1 1h1v1h-1z\"/>\n"
            "</g>\n</svg>\n");
}

}  // namespace
}  // namespace fractal
