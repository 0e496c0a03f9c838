// Peak resident memory of the viewer over a long click sequence: the in-memory window with
// point recording off, 40 clicks at one spot, each arriving when the viewer is idle. Prints the
// peak after the first drawing, after 10 clicks and after 40 (the last 14 find the deepest
// zoom). Run by hand; not part of ctest.
#include <sys/resource.h>

#include <cstdio>
#include <limits>
#include <memory>

#include "platform/memory_platform.h"
#include "window/form1.h"

namespace fractal {
namespace {

long PeakResidentKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;  // KiB on Linux
}

// Hands every event to Form1 and reports the peak after chosen clicks.
class ProbedForm final : public FormEvents {
 public:
  explicit ProbedForm(Platform& platform) : viewer_(platform) {}

  void Load() override {
    viewer_.Load();
    std::printf("after the first drawing: peak resident %ld KiB\n", PeakResidentKiB());
  }
  void Unload(std::int16_t& cancel) override { viewer_.Unload(cancel); }
  void PointerMove(std::int16_t button, std::int16_t shift, float x, float y) override {
    viewer_.PointerMove(button, shift, x, y);
  }
  void Click() override {
    viewer_.Click();
    ++clicks_;
    if (clicks_ == 10 || clicks_ == 40) {
      std::printf("after %d clicks (Zoom %d): peak resident %ld KiB\n", clicks_,
                  static_cast<int>(viewer_.View().Zoom), PeakResidentKiB());
    }
  }

 private:
  Form1 viewer_;
  int clicks_ = 0;
};

int Probe() {
  MemoryPlatform platform(kForm1Design);
  platform.RecordPoints(false);
  // Pumps no run reaches, so each event waits until the viewer is idle.
  int pump = std::numeric_limits<int>::max() / 2;
  // Far outside the set: every deeper view there escapes within a few iterations.
  platform.PostAtPump(pump++, PointerMoveEvent{0, 0, 390.0f, 10.0f});
  for (int i = 0; i < 40; ++i) platform.PostAtPump(pump++, ClickEvent{});
  platform.PostAtPump(pump, CloseEvent{});
  const RunResult result =
      platform.Run([](Platform& window) { return std::make_unique<ProbedForm>(window); });
  std::printf("run ended: %s, status %d, %d rows drawn\n", result.ended ? "yes" : "no",
              result.status, platform.Pumps());
  return result.ended && result.status == 0 ? 0 : 1;
}

}  // namespace
}  // namespace fractal

int main() { return fractal::Probe(); }
