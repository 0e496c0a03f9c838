// Times whole drawings in the real SDL window against the in-memory one, in one run: the first
// picture, a view eight clicks deep (Zoom 256), and the deep dives 20 and 22, each after the view
// it is clicked from, first on a quiet machine and then beside busy ordinary processes that the
// benchmark starts and stops itself. Needs a display (DISPLAY set; Xvfb will do).
//
//   window_bench          the deep dives quiet and beside one busy process
//   window_bench N        ... and beside each number of busy processes up to N
//
// The real window's drawing times include every frame it presents, the finished picture's among
// them (it is presented with the "Ready." title). Showing the window (mapping it and painting its
// first frame) is timed on its own.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_timing.h"
#include "bench/busy_processes.h"
#include "platform/memory_platform.h"
#include "platform/sdl_platform.h"
#include "support/click_views.h"
#include "window/form1.h"

namespace fractal {
namespace {

using bench::BestOf;
using bench::Clock;
using bench::MedianOf;
using bench::Seconds;
constexpr int kRepeats = 20;  // sub-millisecond drawings vary a lot from one to the next
constexpr int kDeepRepeats = 5;
constexpr std::array<int, 2> kDeepDives{20, 22};

// Deep dives' median drawing times, in the order of kDeepDives.
using DiveTimes = std::array<double, kDeepDives.size()>;

struct Timings {
  double show = 0;               // Show within Load
  double first = 0;              // the first picture: Load without Show
  double initial = 0;            // best of kRepeats drawings of the first picture
  double deep = 0;               // best of kRepeats drawings at Zoom 256
  std::vector<DiveTimes> dives;  // indexed by the number of busy processes beside them
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
  TimedForm(Platform& platform, Timings& timings, int most_busy, std::function<void()> done)
      : timer_(platform, timings.show),
        form_(timer_),
        timings_(timings),
        most_busy_(most_busy),
        done_(std::move(done)) {}

  void Load() override {
    const Clock::time_point start = Clock::now();
    form_.Load();
    timings_.first = Seconds(start) - timings_.show;
    timings_.initial = BestDrawing();
    form_.MutableView() = testing::Dive(8);
    timings_.deep = BestDrawing();
    for (int busy = 0; busy <= most_busy_; ++busy) {
      bench::BusyProcesses neighbours(busy);
      timings_.dives.push_back(DeepDives());
    }
    done_();
    std::int16_t cancel = 0;
    Unload(cancel);
  }
  double BestDrawing() {
    return BestOf([this] { form_.DrawFractal(); }, kRepeats);
  }
  // Each dive is drawn after the view it is clicked from, as a person reaches it: a drawing
  // starts from what the one before learnt of where the orbits run longest.
  DiveTimes DeepDives() {
    DiveTimes times{};
    for (std::size_t i = 0; i < kDeepDives.size(); ++i) {
      times[i] = MedianOf([&] { Draw(testing::Dive(kDeepDives[i])); }, kDeepRepeats,
                          [&] { Draw(testing::Dive(kDeepDives[i] - 1)); });
    }
    return times;
  }
  void Draw(const ViewState& view) {
    form_.MutableView() = view;
    form_.DrawFractal();
  }

  void Unload(std::int16_t& cancel) override { form_.Unload(cancel); }
  void PointerMove(std::int16_t, std::int16_t, float, float) override {}
  void Click() override {}

 private:
  ShowTimer timer_;
  Form1 form_;
  Timings& timings_;
  const int most_busy_;
  std::function<void()> done_;
};

void PrintRow(const std::string& name, double memory, double window) {
  std::printf("%-28s %9.2f ms %9.2f ms %8.2f\n", name.c_str(), memory * 1e3, window * 1e3,
              window / memory);
}

std::string DiveName(std::size_t dive, std::size_t busy) {
  const std::string name = "dive " + std::to_string(kDeepDives[dive]) + ", ";
  if (busy == 0) return name + "quiet";
  return name + std::to_string(busy) + (busy == 1 ? " busy process" : " busy processes");
}

void PrintTable(const Timings& memory, const Timings& window) {
  std::printf("%-28s %12s %12s %8s\n", "drawing", "in-memory", "SDL window", "ratio");
  std::printf("%-28s %9.2f ms %9.2f ms %8s\n", "show the window", memory.show * 1e3,
              window.show * 1e3, "-");
  PrintRow("first picture", memory.first, window.first);
  PrintRow("again (best of 20)", memory.initial, window.initial);
  PrintRow("Zoom 256 (best of 20)", memory.deep, window.deep);
  for (std::size_t busy = 0; busy < window.dives.size(); ++busy) {
    for (std::size_t i = 0; i < kDeepDives.size(); ++i) {
      PrintRow(DiveName(i, busy), memory.dives[busy][i], window.dives[busy][i]);
    }
  }
  std::printf("(dives: median of %d, each after its parent view)\n\n", kDeepRepeats);
  std::printf("%-28s %12s %12s\n", "beside busy / quiet", "in-memory", "SDL window");
  for (std::size_t busy = 1; busy < window.dives.size(); ++busy) {
    for (std::size_t i = 0; i < kDeepDives.size(); ++i) {
      std::printf("%-28s %12.2f %12.2f\n", DiveName(i, busy).c_str(),
                  memory.dives[busy][i] / memory.dives[0][i],
                  window.dives[busy][i] / window.dives[0][i]);
    }
  }
  std::fflush(stdout);
}

}  // namespace
}  // namespace fractal

int main(int argc, char** argv) {
  using namespace fractal;
  const int most_busy = argc > 1 ? std::atoi(argv[1]) : 1;
  if (argc > 2 || most_busy < 0) {
    std::fprintf(stderr, "usage: %s [most busy processes beside the deep dives, 1 by default]\n",
                 argv[0]);
    return 2;
  }
  Timings memory;
  {
    MemoryPlatform platform(kForm1Design);
    platform.RecordPoints(false);
    platform.Run(
        [&](Platform& p) { return std::make_unique<TimedForm>(p, memory, most_busy, [] {}); });
  }
  Timings window;
  // The window ends the process when it closes; the table is printed just before.
  RunSdlApplication(kForm1Design, [&](Platform& p) {
    return std::make_unique<TimedForm>(p, window, most_busy, [&] { PrintTable(memory, window); });
  });
}
