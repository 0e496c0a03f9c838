// What the kernel tests share: the targets this CPU runs, their names as test names, and the
// plain escape loop with a budget.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "render/escape_time.h"
#include "render/kernel.h"

namespace fractal::testing {

inline std::vector<KernelTarget> SupportedTargets() {
  std::vector<KernelTarget> targets;
  for (KernelTarget t : {KernelTarget::kScalar, KernelTarget::kAvx2, KernelTarget::kAvx512}) {
    if (KernelTargetSupported(t)) targets.push_back(t);
  }
  return targets;
}

inline std::string TargetName(const ::testing::TestParamInfo<KernelTarget>& info) {
  return KernelTargetName(info.param);
}

// EscapeCount's loop, giving up after `budget` iterations (nullopt) so that deep interior points
// do not take a billion steps each.
inline std::optional<std::int32_t> PlainCount(double cr, double ci, std::int32_t cap,
                                              std::int64_t budget) {
  if (cap <= budget) return EscapeCount(cr, ci, cap);
  double zr = 0;
  double zi = 0;
  for (std::int32_t n = 0; n < budget; ++n) {
    const double zr2 = zr * zr;
    const double zi2 = zi * zi;
    if (zr2 + zi2 >= 4.0) return n;
    const double t = (zr2 - zi2) + cr;
    zi = ci + (2 * zr) * zi;
    zr = t;
  }
  return std::nullopt;
}

}  // namespace fractal::testing
