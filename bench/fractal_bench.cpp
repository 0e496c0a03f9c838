// The drawing benchmark: whole drawings through the in-memory window, the literal drawing routine
// against the fast drawing (Form1) on one thread and on all threads, in one table. Each side
// draws into a window of its own that records no points, so both are timed as whole drawings:
// captions, every point set through the window, the events handled after each row. Each fast
// drawing follows an untimed one of the view it is clicked from, as a person reaches it.
//
// Run without arguments. The literal drawing is timed only where its estimated time (the sum of
// the view's counts and points times its measured cost per iteration) is under 30 s; elsewhere
// the table shows the estimate.
//
// A second table sets the kernel's executed iterations against the least work exact cycle
// detection can do on each view, computed once per view on every thread (untimed, a few seconds
// to about 20 s at the deepest views); `--no-least` leaves it out.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_timing.h"
#include "platform/memory_platform.h"
#include "render/kernel/kernel.h"
#include "render/threaded_row_source.h"
#include "render/view_steps.h"
#include "support/click_views.h"
#include "support/least_work.h"
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
  // The view a click reaches this one from, drawn untimed before each timed drawing: a drawing
  // starts with what its row source learned from the one before.
  std::optional<ViewState> parent;
};

// Best of up to 5 drawings (one if it is slow), each after an untimed `before`.
double BestTime(
    const std::function<void()>& draw, const std::function<void()>& before = [] {}) {
  return BestOf(draw, 5, 1.0, before);
}

// One window with its row source; each drawing is of the view put into it.
class Window {
 public:
  explicit Window(std::unique_ptr<RowSource> rows)
      : platform_(kForm1Design), form_(platform_, std::move(rows)) {
    platform_.RecordPoints(false);  // the record of every point is for tests, not a window's cost
    form_.Load();
  }

  double Draw(const ViewState& view, const std::optional<ViewState>& parent) {
    return BestTime([&] { Show(view); },
                    [&] {
                      if (parent) Show(*parent);
                    });
  }

  std::span<const Colour> Surface() const { return platform_.Surface(); }

 private:
  void Show(const ViewState& view) {
    form_.MutableView() = view;
    form_.DrawFractal();
  }

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
  double proven = 0;    // points the kernel proved interior
  double proof_steps = 0;
  double trapped = 0;     // of the proven points, those a Taylor trap proved
  double trap_steps = 0;  // the traps' Newton and model steps (in proof_steps)
  double escaping = 0;    // sum of the counts below the cap
  double undecided = 0;   // points that ran to the cap with no exact repeat or proof
  double cap = 0;
  double kernel_seconds = 0;
  std::vector<std::int32_t> counts;  // every point's, in drawing order
};

// Every row through ComputeRow on this thread.
Work KernelPass(const ViewState& view) {
  const EscapeParams params = MakeEscapeParams(view);
  const std::size_t width = ColumnSteps().size();
  KernelStats stats;
  SetKernelStats(&stats);
  Work work;
  // Every count written before the clock starts, so that the pass pays no page faults.
  work.counts.assign(RowSteps().size() * width, 0);
  const Clock::time_point t = Clock::now();
  for (std::size_t row = 0; row < RowSteps().size(); ++row) {
    const std::span<std::int32_t> counts(work.counts.data() + row * width, width);
    ComputeRow(params, RowSteps()[row], ColumnSteps(), counts);
    for (std::int32_t n : counts) {
      work.counted += n;
      work.escaping += n < params.cap ? n : 0;
    }
  }
  work.kernel_seconds = Seconds(t);
  SetKernelStats(nullptr);
  work.executed = static_cast<double>(stats.executed_iterations.load());
  work.proven = static_cast<double>(stats.proven_points.load());
  work.proof_steps = static_cast<double>(stats.proof_steps.load());
  work.trapped = static_cast<double>(stats.trapped_points.load());
  work.trap_steps = static_cast<double>(stats.trap_steps.load());
  work.undecided = static_cast<double>(stats.undecided_points.load());
  work.cap = params.cap;
  return work;
}

std::string Fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

// A count to four significant digits with its unit: "23.35 G", "31.34 M", "5120".
std::string Count(double value) {
  const char* unit = "";
  for (const char* next : {" k", " M", " G", " T"}) {
    if (value < 999.95) break;
    value /= 1000;
    unit = next;
  }
  const int decimals = *unit == 0 ? 0 : value < 9.9995 ? 3 : value < 99.995 ? 2 : 1;
  return Fixed(value, decimals) + unit;
}

// One view's row of the work table.
struct WorkRow {
  std::string name;
  Work kernel;
  double drawing_seconds = 0;  // the whole drawing on every worker thread (NT)
  testing::ViewWork least;
  double least_seconds = -1;   // below zero: not computed
  double slowest_seconds = 0;  // the slowest point alone through the kernel on one thread
};

// The slowest point of a view alone through the kernel on this thread: no drawing can finish
// sooner than its orbit.
double SlowestPointSeconds(const ViewState& view, const testing::ViewWork& work) {
  const EscapeParams params = MakeEscapeParams(view);
  const double x = ColumnSteps()[work.slowest_column];
  std::int32_t count = 0;
  const Clock::time_point t = Clock::now();
  ComputeRow(params, RowSteps()[work.slowest_row], std::span(&x, 1), std::span(&count, 1));
  return Seconds(t);
}

// Points whose kernel count differs from the plain loop's.
std::int64_t WrongCounts(const WorkRow& r) {
  std::int64_t wrong = 0;
  for (std::size_t i = 0; i < r.kernel.counts.size(); ++i) {
    wrong += i >= r.least.counts.size() || r.kernel.counts[i] != r.least.counts[i];
  }
  return wrong;
}

// `plain_rate`: iterations a second of every worker thread without cycle detection. Returns the
// points whose counts were wrong.
std::int64_t PrintWorkTable(const std::vector<WorkRow>& rows, double plain_rate) {
  std::printf("\n%-40s %10s %10s %10s %7s %7s %8s %10s %7s %8s %8s %6s %6s\n", "view", "least",
              "Brent", "executed", "exe/lst", "exe/Brt", "proven", "proof st", "least s", "alone s",
              "bound s", "NT/bd", "wrong");
  std::int64_t all_wrong = 0;
  for (const WorkRow& r : rows) {
    const bool have = r.least_seconds >= 0;
    const auto least = static_cast<double>(r.least.least);
    const auto brent = static_cast<double>(r.least.brent);
    const double bound = std::max(r.kernel.executed / plain_rate, r.slowest_seconds);
    const std::int64_t wrong = have ? WrongCounts(r) : 0;
    all_wrong += wrong;
    std::printf(
        "%-40s %10s %10s %10s %7s %7s %8.0f %10s %7s %8s %8s %6s %6s\n", r.name.c_str(),
        have ? Count(least).c_str() : "-", have ? Count(brent).c_str() : "-",
        Count(r.kernel.executed).c_str(), have ? Fixed(r.kernel.executed / least, 2).c_str() : "-",
        have ? Fixed(r.kernel.executed / brent, 2).c_str() : "-", r.kernel.proven,
        Count(r.kernel.proof_steps).c_str(), have ? Fixed(r.least_seconds, 1).c_str() : "-",
        have ? Fixed(r.slowest_seconds, 3).c_str() : "-", have ? Fixed(bound, 3).c_str() : "-",
        have ? Fixed(r.drawing_seconds / bound, 2).c_str() : "-",
        have ? std::to_string(wrong).c_str() : "-");
  }
  std::printf(
      "\n"
      "least: iterations no exact-repeat method can undercut, summed over the view's points: the\n"
      "  escape count; for an orbit that repeats exactly, preperiod + period (at most the cap);\n"
      "  else the cap. Exact counts of the plain double orbit, computed once, untimed.\n"
      "Brent: iterations of the plain loop that compares each state with a checkpoint taken at\n"
      "  counts 1, 2, 4, 8, ...: until it escapes, repeats the checkpoint, or reaches the cap.\n"
      "executed: iterations the kernel ran in the one-thread pass (kernel ms); exe/lst, exe/Brt:\n"
      "  executed over least and over Brent.\n"
      "proven: points the kernel proved interior; proof st: the steps its proofs ran (part of\n"
      "  executed).\n"
      "least s: time of the least and Brent pass on every hardware thread.\n"
      "alone s: the point whose Brent loop runs longest, alone through the kernel on one thread,\n"
      "  every other thread idle.\n"
      "bound s: the larger of executed over the no-cycle-check iterations a second on every\n"
      "  thread (%.2f G) and alone s; NT/bd: the whole drawing on every thread over it.\n"
      "wrong: points whose kernel count is not the plain loop's (an exact repeat standing for\n"
      "  the cap): every cycle found and every proof made is checked against it.\n",
      plain_rate * 1e-9);
  return all_wrong;
}

// The views deep enough for interior proofs: what no prover can spare them.
void PrintFloorTable(const std::vector<WorkRow>& rows) {
  std::printf("\n%-40s %10s %10s %10s %10s %8s %8s %10s\n", "view", "escaping", "at cap", "floor",
              "executed", "exe/fl", "trapped", "trap st");
  for (const WorkRow& r : rows) {
    const Work& k = r.kernel;
    if (k.proven == 0) continue;  // no proofs: cycle detection alone, or none
    const double floor = k.escaping + k.undecided * k.cap;
    std::printf("%-40s %10s %10.0f %10s %10s %8s %8.0f %10s\n", r.name.c_str(),
                Count(k.escaping).c_str(), k.undecided, Count(floor).c_str(),
                Count(k.executed).c_str(), Fixed(k.executed / floor, 2).c_str(), k.trapped,
                Count(k.trap_steps).c_str());
  }
  std::printf(
      "\n"
      "escaping: the counts of the points that escape, summed; at cap: points the kernel ran to\n"
      "  the cap with neither an exact repeat nor a proof; floor: escaping + at cap x cap, the\n"
      "  iterations left if every other point were decided at once; exe/fl: executed over it.\n"
      "trapped: points a Taylor trap proved (of proven); trap st: its Newton and model steps (of\n"
      "  proof st).\n");
}

// Returns false if some count was wrong.
bool Run(bool with_least) {
  std::vector<Case> cases{{"initial view", testing::InitialView(), true, std::nullopt}};
  for (int clicks : {4, 8, 12, 16, 20, 22, 24, 26})
    cases.push_back({"dive " + std::to_string(clicks), Dive(clicks), true, Dive(clicks - 1)});
  cases.push_back({"centre x12", CentreClicks(12), true, CentreClicks(11)});
  cases.push_back(
      {"throughput: centre x12, no cycle check", CentreClicks(12), false, CentreClicks(11)});

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
  std::vector<WorkRow> work_rows;
  double plain_rate = 1;  // measured on the last view, the one without cycle detection
  for (const Case& c : cases) {
    SetCycleDetection(c.cycle_detection);
    const Work work = KernelPass(c.view);
    // A drawing runs the same iterations as the kernel pass, on any number of threads.
    const double t1 = serial.Draw(c.view, c.parent);
    const double tn = threaded.Draw(c.view, c.parent);
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

    WorkRow row{c.name, work, tn, {}, -1, 0};
    if (with_least) {
      const Clock::time_point t = Clock::now();
      row.least = testing::LeastWork(c.view, threads);
      row.least_seconds = Seconds(t);
      SetCycleDetection(c.cycle_detection);
      row.slowest_seconds = SlowestPointSeconds(c.view, row.least);
      SetCycleDetection(true);
    }
    if (!c.cycle_detection) plain_rate = work.executed / tn;
    work_rows.push_back(row);
  }
  std::printf(
      "\n"
      "literal s: the drawing routine as written, every point through SetPoint, the "
      "floating-point\n"
      "  status tested after every expression, integer steps checked.\n"
      "bare s: the same arithmetic alone (ReferencePicture: no window, no status tests), once.\n"
      "kernel ms: every row through ComputeRow on one thread, no window.\n"
      "1T/NT: whole drawing through Form1, serial rows / %d worker threads, each after an\n"
      "  untimed drawing of the view a click reaches it from.\n"
      "x: literal time over fast time, whole drawing against whole drawing; NT bare x: bare time\n"
      "  over NT time.\n"
      "cnt: the sum of counts (as the literal routine iterates) per second; exe: iterations the\n"
      "  kernel ran per second.\n"
      "same: the literal window's surface equals both fast windows' and ReferencePicture's, pixel\n"
      "  for pixel.\n",
      threads);
  const std::int64_t wrong = PrintWorkTable(work_rows, plain_rate);
  PrintFloorTable(work_rows);
  return wrong == 0;
}

}  // namespace
}  // namespace fractal

int main(int argc, char** argv) {
  const bool no_least = argc == 2 && std::strcmp(argv[1], "--no-least") == 0;
  if (argc > 2 || (argc == 2 && !no_least)) {
    std::fprintf(stderr, "usage: %s [--no-least]\n", argv[0]);
    return 2;
  }
  return fractal::Run(!no_least) ? 0 : 1;
}
