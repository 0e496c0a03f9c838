// Times whole drawings in the real SDL window against the in-memory one, in one run: the first
// picture, and a view eight clicks deep (Zoom 256). Needs a display (DISPLAY set; Xvfb will do).
//
// The real window's drawing times include every frame it presents, the finished picture's among
// them (it is presented with the "Ready." title). Showing the window (mapping it and painting its
// first frame) is timed on its own.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>

#include "bench/bench_timing.h"
#include "platform/memory_platform.h"
#include "platform/sdl_platform.h"
#include "support/click_views.h"
#include "window/form1.h"

namespace fractal {
namespace {

using bench::BestOf;
using bench::Clock;
using bench::Seconds;
constexpr int kRepeats = 20;  // sub-millisecond drawings vary a lot from one to the next

struct Timings {
  double show = 0;     // Show within Load
  double first = 0;    // the first picture: Load without Show
  double initial = 0;  // best of kRepeats drawings of the first picture
  double deep = 0;     // best of kRepeats drawings at Zoom 256
};

// Passes every call on to the window, timing Show.
class ShowTimer final : public Platform {
 public:
  ShowTimer(Platform& window, double& seconds) : window_(window), seconds_(seconds) {}

  bool Show() override {
    const Clock::time_point start = Clock::now();
    const bool shown = window_.Show();
    seconds_ = Seconds(start);
    return shown;
  }
  bool SetCaption(std::string_view text) override { return window_.SetCaption(text); }
  bool ReadBackColour(Colour& colour) override { return window_.ReadBackColour(colour); }
  bool ReadSurfaceWidth(float& width) override { return window_.ReadSurfaceWidth(width); }
  bool ReadSurfaceHeight(float& height) override { return window_.ReadSurfaceHeight(height); }
  bool SetPoint(const SurfacePoint& point) override { return window_.SetPoint(point); }
  std::size_t SetPoints(std::span<const SurfacePoint> points) override {
    return window_.SetPoints(points);
  }
  bool Unload() override { return window_.Unload(); }
  void PumpEvents() override { window_.PumpEvents(); }
  void PumpEventsWhileWaiting() override { window_.PumpEventsWhileWaiting(); }
  void MessageBox(std::string_view prompt) override { window_.MessageBox(prompt); }
  [[noreturn]] void EndProcess(int status) override {
    window_.EndProcess(status);
    std::abort();  // not reached: the window's EndProcess does not return
  }

 private:
  Platform& window_;
  double& seconds_;
};

// Wraps the real window, times its drawings, then closes it.
class TimedForm final : public FormEvents {
 public:
  TimedForm(Platform& platform, Timings& timings, std::function<void()> done)
      : timer_(platform, timings.show), form_(timer_), timings_(timings), done_(std::move(done)) {}

  void Load() override {
    const Clock::time_point start = Clock::now();
    form_.Load();
    timings_.first = Seconds(start) - timings_.show;
    timings_.initial = BestDrawing();
    form_.MutableView() = testing::Dive(8);
    timings_.deep = BestDrawing();
    done_();
    std::int16_t cancel = 0;
    Unload(cancel);
  }
  double BestDrawing() {
    return BestOf([this] { form_.DrawFractal(); }, kRepeats);
  }

  void Unload(std::int16_t& cancel) override { form_.Unload(cancel); }
  void PointerMove(std::int16_t, std::int16_t, float, float) override {}
  void Click() override {}

 private:
  ShowTimer timer_;
  Form1 form_;
  Timings& timings_;
  std::function<void()> done_;
};

void PrintTable(const Timings& memory, const Timings& window) {
  std::printf("%-22s %12s %12s %8s\n", "drawing", "in-memory", "SDL window", "ratio");
  std::printf("%-22s %9.2f ms %9.2f ms %8s\n", "show the window", memory.show * 1e3,
              window.show * 1e3, "-");
  std::printf("%-22s %9.2f ms %9.2f ms %8.2f\n", "first picture", memory.first * 1e3,
              window.first * 1e3, window.first / memory.first);
  std::printf("%-22s %9.2f ms %9.2f ms %8.2f\n", "again (best of 20)", memory.initial * 1e3,
              window.initial * 1e3, window.initial / memory.initial);
  std::printf("%-22s %9.2f ms %9.2f ms %8.2f\n", "Zoom 256 (best of 20)", memory.deep * 1e3,
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
