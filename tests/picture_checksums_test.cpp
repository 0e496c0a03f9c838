// Whole pictures of a few fixed views, drawn by the viewer's own drawing on every kernel target,
// reduced to checksums that must be the same on every machine and architecture. The expected
// values were taken on x86-64, where the pictures also equal the literal reference drawing
// (render and kernel tests); an arm64 build run under qemu must reproduce them bit for bit.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/memory_platform.h"
#include "render/kernel/kernel.h"
#include "render/threaded_row_source.h"
#include "support/click_views.h"
#include "support/kernel_testing.h"
#include "window/form1.h"

namespace fractal {
namespace {

using testing::CentreClicks;
using testing::Dive;

// FNV-1a over the colours of the surface, row after row.
std::uint64_t Checksum(std::span<const Colour> surface) {
  std::uint64_t hash = 14695981039346656037ull;
  for (Colour colour : surface) {
    for (int byte = 0; byte < 4; ++byte) {
      hash ^= (static_cast<std::uint32_t>(colour) >> (8 * byte)) & 0xff;
      hash *= 1099511628211ull;
    }
  }
  return hash;
}

struct KnownPicture {
  const char* name;
  ViewState view;
  std::uint64_t checksum;
};

class PictureChecksums : public testing::EveryTarget {};

INSTANTIATE_TEST_SUITE_P(Targets, PictureChecksums, ::testing::ValuesIn(SupportedKernelTargets()),
                         testing::TargetName);

TEST_P(PictureChecksums, AreTheSameOnEveryMachine) {
  const KnownPicture pictures[] = {
      {"initial", testing::InitialView(), 7765144354284912197ull},
      {"dive 8", Dive(8), 8747641176805588894ull},
      {"centre x12", CentreClicks(12), 9490657959194882853ull},
      {"dive 16", Dive(16), 16799886557494285931ull},
      {"dive 20", Dive(20), 8978791581356039877ull},
  };
  // The deep views take over a minute a target under the sanitizers; the optimised builds, the
  // arm64 one among them, draw them all.
#if defined(__OPTIMIZE__) && !defined(__SANITIZE_ADDRESS__)
  const std::span<const KnownPicture> drawn(pictures);
#else
  const std::span<const KnownPicture> drawn(pictures, 3);
#endif
  MemoryPlatform platform(kForm1Design);
  platform.RecordPoints(false);
  Form1 form(platform, std::make_unique<ThreadedRowSource>());
  form.Load();
  for (const KnownPicture& picture : drawn) {
    form.MutableView() = picture.view;
    form.DrawFractal();
    EXPECT_EQ(Checksum(platform.Surface()), picture.checksum)
        << picture.name << " on " << KernelTargetName(GetParam());
  }
}

}  // namespace
}  // namespace fractal
