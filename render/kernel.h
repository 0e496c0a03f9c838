// The escape-time kernel behind every drawing: the counts of one row, computed with the widest
// instruction set this CPU has. Every target gives bit-identical counts to EscapeCount.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "render/escape_time.h"

namespace fractal {

enum class KernelTarget { kScalar, kAvx2, kAvx512 };

// Counts of one row at view y, one per view x in `xs`, into `counts` (same size as `xs`).
void ComputeRow(const EscapeParams& params, double y, std::span<const double> xs,
                std::span<std::int32_t> counts);

// Whether this CPU (and this build) can run `target`.
bool KernelTargetSupported(KernelTarget target);
// The target ComputeRow uses now: the best supported one unless one is forced.
KernelTarget ActiveKernelTarget();
// Forces a supported target (for tests and benchmarks); std::nullopt returns to the best one.
void ForceKernelTarget(std::optional<KernelTarget> target);

}  // namespace fractal
