// The icons' pictures: averaging down, sampling, and the SVG they are written as.
#include <gtest/gtest.h>

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

TEST(SvgOf, OnePathPerColourOneRectanglePerRun) {
  const IconPicture picture{2, {kRed, kRed, 0, 256 * 255}};
  EXPECT_EQ(SvgOf(picture),
            "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"2\" height=\"2\" "
            "viewBox=\"0 0 2 2\" shape-rendering=\"crispEdges\">\n"
            "<path fill=\"#ff0000\" d=\"M0 0h2v1h-2z\"/>\n"
            "<path fill=\"#000000\" d=\"M0 1h1v1h-1z\"/>\n"
            "<path fill=\"#00ff00\" d=\"M1 1h1v1h-1z\"/>\n"
            "</svg>\n");
}

}  // namespace
}  // namespace fractal
