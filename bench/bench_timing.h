// What the benchmarks time with: seconds since a moment, and the best of a few passes.
#pragma once

#include <algorithm>
#include <chrono>
#include <limits>
#include <vector>

namespace fractal::bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// The shortest of up to `passes` runs of `pass`, starting no new run once `budget_seconds` have
// gone by (the first always runs), so slow cases cost one run. Each run follows an untimed run
// of `before`.
template <class Pass, class Before = void (*)()>
double BestOf(
    Pass pass, int passes, double budget_seconds = std::numeric_limits<double>::infinity(),
    Before before = [] {}) {
  double best = std::numeric_limits<double>::infinity();
  const Clock::time_point start = Clock::now();
  for (int run = 0; run < passes && (run == 0 || Seconds(start) < budget_seconds); ++run) {
    before();
    const Clock::time_point t = Clock::now();
    pass();
    best = std::min(best, Seconds(t));
  }
  return best;
}

// The median of `passes` runs of `pass`, each after an untimed run of `before`: beside busy
// processes a drawing's time depends on where the scheduler puts its threads, and the typical
// time is the one a person sees.
template <class Pass, class Before>
double MedianOf(Pass pass, int passes, Before before) {
  std::vector<double> times;
  for (int run = 0; run < passes; ++run) {
    before();
    const Clock::time_point t = Clock::now();
    pass();
    times.push_back(Seconds(t));
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace fractal::bench
