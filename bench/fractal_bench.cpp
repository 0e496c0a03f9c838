// The drawing benchmark: whole drawings through the in-memory window, the literal drawing routine
// against the fast drawing (Form1) on one thread and on all threads, in one table. Each side
// draws into a window of its own that records no points, so both are timed as whole drawings:
// captions, every point set through the window, the events handled after each row.
//
// Run without arguments. The literal drawing is timed only where its estimated time (the sum of
// the view's counts and points times its measured cost per iteration) is under 30 s; elsewhere
// the table shows the estimate.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_timing.h"
#include "platform/memory_platform.h"
#include "render/kernel/kernel.h"
#include "render/threaded_row_source.h"
#include "render/view_steps.h"
#include "support/click_views.h"
#include "support/literal_drawing.h"
#include "support/reference_drawing.h"
#include "window/form1.h"

namespace fractal {
namespace {

using bench::BestOf;
using bench::Clock;
using bench::Seconds;

using testing::CentreClicks;
using testing::Dive;

constexpr double kLiteralLimitSeconds = 30;

struct Case {
  std::string name;
  ViewState view;
  bool cycle_detection = true;
};

// Best of up to 5 drawings (one if it is slow).
double BestTime(const std::function<void()>& draw) { return BestOf(draw, 5, 1.0); }

// One window with its row source; each drawing is of the view put into it.
class Window {
 public:
  explicit Window(std::unique_ptr<RowSource> rows)
      : platform_(kForm1Design), form_(platform_, std::move(rows)) {
    platform_.RecordPoints(false);  // the record of every point is for tests, not a window's cost
    form_.Load();
  }

  double Draw(const ViewState& view) {
    return BestTime([&] {
      form_.MutableView() = view;
      form_.DrawFractal();
    });
  }

  std::span<const Colour> Surface() const { return platform_.Surface(); }

 private:
  MemoryPlatform platform_;
  Form1 form_;
};

// A window the literal drawing routine draws into, recording no points either.
class LiteralWindow {
 public:
  LiteralWindow() : platform_(kForm1Design) { platform_.RecordPoints(false); }

  double Draw(const ViewState& view) {
    return BestTime([&] { testing::LiteralDrawing(platform_, view); });
  }

  std::span<const Colour> Surface() const { return platform_.Surface(); }

 private:
  MemoryPlatform platform_;
};

bool SameSurface(std::span<const Colour> a, std::span<const Colour> b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

struct Work {
  double counted = 0;   // sum of counts
  double executed = 0;  // lane iterations the kernel ran
  double kernel_seconds = 0;
};

// Every row through ComputeRow on this thread.
Work KernelPass(const ViewState& view) {
  const EscapeParams params = MakeEscapeParams(view);
  std::vector<std::int32_t> counts(ColumnSteps().size());
  KernelStats stats;
  SetKernelStats(&stats);
  Work work;
  const Clock::time_point t = Clock::now();
  for (double y : RowSteps()) {
    ComputeRow(params, y, ColumnSteps(), counts);
    for (std::int32_t n : counts) work.counted += n;
  }
  work.kernel_seconds = Seconds(t);
  SetKernelStats(nullptr);
  work.executed = static_cast<double>(stats.executed_iterations.load());
  return work;
}

std::string Fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

void Run() {
  std::vector<Case> cases{{"initial view", testing::InitialView()}};
  for (int clicks : {4, 8, 12, 16, 20, 22, 26})
    cases.push_back({"dive " + std::to_string(clicks), Dive(clicks)});
  cases.push_back({"centre x12", CentreClicks(12)});
  cases.push_back({"throughput: centre x12, no cycle check", CentreClicks(12), false});

  const int threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  Window serial(std::make_unique<SerialRowSource>());
  Window threaded(std::make_unique<ThreadedRowSource>(threads));
  LiteralWindow literal_window;

  std::printf("fractal_bench: kernel target %s, %d hardware threads; times are best of up to 5\n",
              KernelTargetName(ActiveKernelTarget()), threads);
  std::printf(
      "whole 400x400 drawings, each side through its own in-memory window; literal = "
      "LiteralDrawing (est. = estimated, not run)\n\n");
  std::printf("%-40s %9s %10s %12s %10s %10s %10s %10s %8s %8s %8s %7s %7s %7s %7s %5s\n", "view",
              "zoom", "cap", "literal s", "bare s", "kernel ms", "1T ms", "NT ms", "1T x", "NT x",
              "NT bare", "1T cnt", "1T exe", "NT cnt", "NT exe", "same");
  std::printf("%-40s %9s %10s %12s %10s %10s %10s %10s %8s %8s %8s %7s %7s %7s %7s %5s\n", "", "",
              "", "", "", "", "", "", "", "", "x", "G it/s", "G it/s", "G it/s", "G it/s", "");

  double literal_ns_per_iteration = 0;  // measured on the first views
  double bare_ns_per_iteration = 0;
  for (const Case& c : cases) {
    SetCycleDetection(c.cycle_detection);
    const Work work = KernelPass(c.view);
    // A drawing runs the same iterations as the kernel pass, on any number of threads.
    const double t1 = serial.Draw(c.view);
    const double tn = threaded.Draw(c.view);
    SetCycleDetection(true);

    const double points = static_cast<double>(RowSteps().size() * ColumnSteps().size());
    const double estimate = literal_ns_per_iteration * 1e-9 * (work.counted + points);
    std::string literal_text;
    std::string bare_text;
    double literal = 0;
    double bare = 0;
    bool same = false;
    bool ran_literal = false;
    if (literal_ns_per_iteration == 0 || estimate < kLiteralLimitSeconds) {
      literal = literal_window.Draw(c.view);
      literal_ns_per_iteration =
          std::max(literal_ns_per_iteration, literal * 1e9 / (work.counted + points));
      same = SameSurface(literal_window.Surface(), serial.Surface()) &&
             SameSurface(literal_window.Surface(), threaded.Surface());
      literal_text = Fixed(literal, 3);
      const Clock::time_point t = Clock::now();
      const std::vector<Colour> picture = testing::ReferencePicture(c.view);
      bare = Seconds(t);
      same = same && SameSurface(picture, serial.Surface());
      bare_ns_per_iteration = std::max(bare_ns_per_iteration, bare * 1e9 / (work.counted + points));
      bare_text = Fixed(bare, 3);
      ran_literal = true;
    } else {
      literal = estimate;
      literal_text = "est. " + Fixed(estimate, 0);
      bare = bare_ns_per_iteration * 1e-9 * (work.counted + points);
      bare_text = "est. " + Fixed(bare, 0);
    }
    std::printf(
        "%-40s %9d %10d %12s %10s %10s %10s %10s %8s %8s %8s %7s %7s %7s %7s %5s\n", c.name.c_str(),
        c.view.Zoom, 16 * c.view.Zoom, literal_text.c_str(), bare_text.c_str(),
        Fixed(work.kernel_seconds * 1e3, 2).c_str(), Fixed(t1 * 1e3, 2).c_str(),
        Fixed(tn * 1e3, 2).c_str(), Fixed(literal / t1, 0).c_str(), Fixed(literal / tn, 0).c_str(),
        Fixed(bare / tn, 0).c_str(), Fixed(work.counted / t1 * 1e-9, 2).c_str(),
        Fixed(work.executed / t1 * 1e-9, 2).c_str(), Fixed(work.counted / tn * 1e-9, 2).c_str(),
        Fixed(work.executed / tn * 1e-9, 2).c_str(), ran_literal ? (same ? "yes" : "NO") : "-");
    std::fflush(stdout);
  }
  std::printf(
      "\n"
      "literal s: the drawing routine as written, every point through SetPoint, the "
      "floating-point\n"
      "  status tested after every expression, integer steps checked.\n"
      "bare s: the same arithmetic alone (ReferencePicture: no window, no status tests), once.\n"
      "kernel ms: every row through ComputeRow on one thread, no window.\n"
      "1T/NT: whole drawing through Form1, serial rows / %d worker threads.\n"
      "x: literal time over fast time, whole drawing against whole drawing; NT bare x: bare time\n"
      "  over NT time.\n"
      "cnt: the sum of counts (as the literal routine iterates) per second; exe: iterations the\n"
      "  kernel ran per second.\n"
      "same: the literal window's surface equals both fast windows' and ReferencePicture's, pixel\n"
      "  for pixel.\n",
      threads);
}

}  // namespace
}  // namespace fractal

int main() { fractal::Run(); }
