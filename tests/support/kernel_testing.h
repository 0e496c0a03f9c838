// What the kernel tests share: the kernel targets' names as test names, a per-target fixture, the
// plain escape loop with a budget, and random click sequences.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "render/kernel/escape_time.h"
#include "render/kernel/kernel.h"
#include "support/click_views.h"

namespace fractal {
// Test names and failure messages show a target by its name.
inline void PrintTo(KernelTarget target, std::ostream* out) { *out << KernelTargetName(target); }
}  // namespace fractal

namespace fractal::testing {

inline std::string TargetName(const ::testing::TestParamInfo<KernelTarget>& info) {
  return KernelTargetName(info.param);
}

// Forces a target while it lives; then the best target again, with cycle detection on.
class ForcedTarget {
 public:
  explicit ForcedTarget(KernelTarget target) { ForceKernelTarget(target); }
  ~ForcedTarget() {
    ForceKernelTarget(std::nullopt);
    SetCycleDetection(true);
  }
  ForcedTarget(const ForcedTarget&) = delete;
  ForcedTarget& operator=(const ForcedTarget&) = delete;
};

// A fixture whose tests run once on every target this CPU runs, that target forced throughout;
// instantiate with ValuesIn(SupportedKernelTargets()) and TargetName.
class EveryTarget : public ::testing::TestWithParam<KernelTarget> {
 private:
  ForcedTarget forced_{GetParam()};
};

// EscapeCount, giving up after `budget` iterations (nullopt) so that deep interior points do not
// take a billion steps each: with the budget as its cap, a count of the budget means that no state
// before it escaped, which decides nothing below the real cap.
inline std::optional<std::int32_t> PlainCount(double cr, double ci, std::int32_t cap,
                                              std::int64_t budget) {
  if (cap <= budget) return EscapeCount(cr, ci, cap);
  const auto within = static_cast<std::int32_t>(budget);  // below the cap, so 32 bits
  const std::int32_t n = EscapeCount(cr, ci, within);
  if (n == within) return std::nullopt;
  return n;
}

// A click position: anywhere on the surface, often on its edges.
inline float RandomPosition(std::mt19937& random) {
  const int pick = std::uniform_int_distribution<int>(0, 9)(random);
  if (pick == 0) return 0;
  if (pick == 1) return 399;
  return static_cast<float>(std::uniform_int_distribution<int>(0, 399)(random));
}

// Up to `max_clicks` random clicks from the initial view, half of the sequences steered toward
// the boundary of the set (each click at the slowest-escaping of a few random pixels), so that
// deep views are not all empty.
inline ViewState RandomView(std::mt19937& random, int max_clicks) {
  ViewState view = InitialView();
  const int clicks = std::uniform_int_distribution<int>(0, max_clicks)(random);
  const bool steer = std::uniform_int_distribution<int>(0, 1)(random) == 1;
  for (int i = 0; i < clicks; ++i) {
    float column = RandomPosition(random);
    float row = RandomPosition(random);
    if (steer) {
      const EscapeParams params = MakeEscapeParams(view);
      std::int32_t best = -1;
      for (int tries = 0; tries < 16; ++tries) {
        const float c = RandomPosition(random);
        const float r = RandomPosition(random);
        const double xs[] = {(c - 200) / 100.0};
        std::int32_t n = 0;
        ComputeRow(params, (r - 200) / 100.0, xs, std::span<std::int32_t>(&n, 1));
        if (n < params.cap && n > best) {
          best = n;
          column = c;
          row = r;
        }
      }
    }
    ClickAt(view, column, row);
  }
  return view;
}

}  // namespace fractal::testing
