// The kernel alone, without a window: whole 400x400 views through ComputeRow one row at a time
// and through ComputeRows in batches of consecutive rows, on one thread and on two threads
// taking batches in turn, as the threaded row source hands them out.
//
// Run without arguments for every view, or with a word to run only the views whose name has it.
// Times are the best of up to 5 passes (one if a pass takes over 2 s).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_timing.h"
#include "render/kernel/kernel.h"
#include "render/view_steps.h"
#include "support/click_views.h"

namespace fractal::bench {
namespace {

using testing::CentreClicks;
using testing::Dive;

// Best of up to 5 passes (one if a pass takes over 2 s).
template <class Pass>
double Best(Pass pass) {
  return BestOf(pass, 5, 2.0);
}

// Every row through ComputeRow on this thread.
void RowByRow(const EscapeParams& params, std::vector<std::int32_t>& counts) {
  const std::size_t width = ColumnSteps().size();
  for (std::size_t r = 0; r < RowSteps().size(); ++r) {
    ComputeRow(params, RowSteps()[r], ColumnSteps(), std::span(counts).subspan(r * width, width));
  }
}

// Batches of `batch` rows through ComputeRows, taken in turn by `threads` threads.
void Batches(const EscapeParams& params, int batch, int threads,
             std::vector<std::int32_t>& counts) {
  const std::size_t width = ColumnSteps().size();
  const int rows = static_cast<int>(RowSteps().size());
  std::atomic<int> next{0};
  const auto work = [&] {
    for (int first; (first = next.fetch_add(batch)) < rows;) {
      const int n = std::min(batch, rows - first);
      ComputeRows(params, RowSteps().subspan(first, n), ColumnSteps(),
                  std::span(counts).subspan(first * width, n * width));
    }
  };
  std::vector<std::thread> helpers;
  for (int t = 1; t < threads; ++t) helpers.emplace_back(work);
  work();
  for (std::thread& helper : helpers) helper.join();
}

struct Case {
  std::string name;
  ViewState view;
};

void Run(const std::string& only) {
  std::vector<Case> cases{{"initial view", testing::InitialView()}};
  for (int clicks : {1, 2, 3, 4, 8, 12, 16, 20, 22})
    cases.push_back({"dive " + std::to_string(clicks), Dive(clicks)});
  cases.push_back({"centre x12", CentreClicks(12)});
  const int batches[] = {1, 2, 4, 8, 16};

  std::printf(
      "kernel_bench: target %s; ms, best of up to 5; 'same' compares every column with "
      "the row-by-row counts\n\n",
      KernelTargetName(ActiveKernelTarget()));
  std::printf("%-14s %10s %9s", "view", "cap", "row 1T");
  for (int b : batches) std::printf(" %7s%-2d", "1T x", b);
  for (int b : batches) std::printf(" %7s%-2d", "2T x", b);
  std::printf(" %5s\n", "same");

  const std::size_t points = RowSteps().size() * ColumnSteps().size();
  for (const Case& c : cases) {
    if (c.name.find(only) == std::string::npos) continue;
    const EscapeParams params = MakeEscapeParams(c.view);
    std::vector<std::int32_t> by_row(points), batched(points);
    std::printf("%-14s %10d %9.2f", c.name.c_str(), params.cap,
                1e3 * Best([&] { RowByRow(params, by_row); }));
    bool same = true;
    for (int threads : {1, 2}) {
      for (int b : batches) {
        std::fill(batched.begin(), batched.end(), -1);
        std::printf(" %9.2f", 1e3 * Best([&] { Batches(params, b, threads, batched); }));
        same &= batched == by_row;
        std::fflush(stdout);
      }
    }
    std::printf(" %5s\n", same ? "yes" : "NO");
  }
}

}  // namespace
}  // namespace fractal::bench

int main(int argc, char** argv) { fractal::bench::Run(argc > 1 ? argv[1] : ""); }
