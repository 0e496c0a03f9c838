// Makes the application's icons from the picture the viewer draws first, shown in a disc on a
// transparent background: PNG files of a few sizes (the picture averaged down, the disc's edge
// smoothed by its coverage of each pixel) and a scalable SVG (the picture's colours as filled
// runs of cells, clipped to the disc).
//
//   icon_maker PATH...   PATH is DIR/SIZE.png (e.g. icons/48.png, 48 pixels square) or NAME.svg
#include <png.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "desktop/icon_picture.h"
#include "platform/memory_platform.h"
#include "window/form1.h"

namespace fractal {
namespace {

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The size a PNG's name asks for: "icons/48.png" is 48 pixels square; 0 for any other name.
int SizeInName(const std::string& path) {
  const std::size_t stem = path.find_last_of('/') + 1;  // 0 without a folder
  const std::string digits = path.substr(stem, path.size() - 4 - stem);
  if (digits.empty() || digits.size() > 4 ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return 0;
  }
  return std::stoi(digits);
}

bool WritePng(const std::string& path, const IconPicture& picture) {
  const std::vector<std::uint8_t> alpha = DiscCoverage(picture.size);
  std::vector<png_byte> rgba;
  rgba.reserve(picture.colours.size() * 4);
  for (std::size_t i = 0; i < picture.colours.size(); ++i) {
    const Colour colour = picture.colours[i];
    rgba.push_back(static_cast<png_byte>(colour & 0xFF));
    rgba.push_back(static_cast<png_byte>((colour >> 8) & 0xFF));
    rgba.push_back(static_cast<png_byte>((colour >> 16) & 0xFF));
    rgba.push_back(alpha[i]);
  }
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(picture.size);
  image.height = static_cast<png_uint_32>(picture.size);
  image.format = PNG_FORMAT_RGBA;
  const int written = png_image_write_to_file(&image, path.c_str(), 0, rgba.data(), 0, nullptr);
  if (written == 0) std::fprintf(stderr, "%s: %s\n", path.c_str(), image.message);
  return written != 0;
}

bool WriteSvg(const std::string& path, const IconPicture& picture) {
  std::ofstream out(path);
  out << SvgOf(picture);
  return static_cast<bool>(out.flush());
}

}  // namespace
}  // namespace fractal

int main(int argc, char** argv) {
  using namespace fractal;
  MemoryPlatform platform(kForm1Design);
  const RunResult run = platform.Run(MakeForm1Factory());
  if (run.ended || platform.Captions().empty() || platform.Captions().back() != "Ready.") {
    std::fprintf(stderr, "the first drawing did not finish\n");
    return 1;
  }
  const IconPicture drawn{kForm1Design.width,
                          {platform.Surface().begin(), platform.Surface().end()}};
  for (int i = 1; i < argc; ++i) {
    const std::string path = argv[i];
    bool written = false;
    if (EndsWith(path, ".png") && SizeInName(path) > 0) {
      written = WritePng(path, Downsample(drawn, SizeInName(path)));
    } else if (EndsWith(path, ".svg")) {
      written = WriteSvg(path, Sample(drawn, kSvgCells));
    } else {
      std::fprintf(stderr, "%s: neither DIR/SIZE.png nor NAME.svg\n", path.c_str());
    }
    if (!written) return 1;
  }
  return 0;
}
