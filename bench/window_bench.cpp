// Times whole drawings in the real SDL window against the in-memory one, in one run: the first
// picture, and a view eight clicks deep (Zoom 256). Needs a display (DISPLAY set; Xvfb will do).
//
// The real window's times include the frames it presents while drawing; the one frame it
// presents after the drawing, once idle, is not in them.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>

#include "platform/memory_platform.h"
#include "platform/sdl_platform.h"
#include "tests/click_views.h"
#include "window/form1.h"

namespace fractal {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRepeats = 5;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

struct Timings {
  double first = 0;    // the first picture, Load included
  double initial = 0;  // best of kRepeats drawings of the first picture
  double deep = 0;     // best of kRepeats drawings at Zoom 256
};

// Wraps the real window, times its drawings, then closes it.
class TimedForm final : public FormEvents {
 public:
  TimedForm(Platform& platform, Timings& timings, std::function<void()> done)
      : form_(platform), timings_(timings), done_(std::move(done)) {}

  void Load() override {
    const Clock::time_point start = Clock::now();
    form_.Load();
    timings_.first = Seconds(start);
    timings_.initial = BestDrawing();
    form_.MutableView() = testing::Dive(8);
    timings_.deep = BestDrawing();
    done_();
    std::int16_t cancel = 0;
    Unload(cancel);
  }
  double BestDrawing() {
    double best = 1e9;
    for (int i = 0; i < kRepeats; ++i) {
      const Clock::time_point start = Clock::now();
      form_.DrawFractal();
      best = std::min(best, Seconds(start));
    }
    return best;
  }

  void Unload(std::int16_t& cancel) override { form_.Unload(cancel); }
  void PointerMove(std::int16_t, std::int16_t, float, float) override {}
  void Click() override {}

 private:
  Form1 form_;
  Timings& timings_;
  std::function<void()> done_;
};

void PrintTable(const Timings& memory, const Timings& window) {
  std::printf("%-22s %12s %12s %8s\n", "drawing", "in-memory", "SDL window", "ratio");
  std::printf("%-22s %9.2f ms %9.2f ms %8.2f\n", "first picture, Load", memory.first * 1e3,
              window.first * 1e3, window.first / memory.first);
  std::printf("%-22s %9.2f ms %9.2f ms %8.2f\n", "again (best of 5)", memory.initial * 1e3,
              window.initial * 1e3, window.initial / memory.initial);
  std::printf("%-22s %9.2f ms %9.2f ms %8.2f\n", "Zoom 256 (best of 5)", memory.deep * 1e3,
              window.deep * 1e3, window.deep / memory.deep);
  std::fflush(stdout);
}

}  // namespace
}  // namespace fractal

int main() {
  using namespace fractal;
  Timings memory;
  {
    MemoryPlatform platform(kForm1Design);
    platform.RecordPoints(false);
    platform.Run([&](Platform& p) { return std::make_unique<TimedForm>(p, memory, [] {}); });
  }
  Timings window;
  // The window ends the process when it closes; the table is printed just before.
  RunSdlApplication(kForm1Design, [&](Platform& p) {
    return std::make_unique<TimedForm>(p, window, [&] { PrintTable(memory, window); });
  });
}
