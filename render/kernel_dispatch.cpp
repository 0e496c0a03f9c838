// Chooses the kernel's target once, from what the CPU says it runs, and keeps every target's
// floating-point status the scalar one's.
#include <cfenv>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "render/kernel.h"
#include "render/kernel_targets.h"

namespace fractal {
namespace {

constexpr int kFaults = FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW;

// Below this magnitude of c, the scalar iteration cannot overflow before it stops (|z| < 2 until
// the last step, and then |z| <= 4 + |c|), so it raises none of kFaults. The vector lanes keep
// iterating escaped orbits until the next look at the lanes, which may overflow; for such rows
// their faults are cleared and the scalar status stands.
constexpr double kTame = 1e100;

bool Supported(KernelTarget target) {
  switch (target) {
    case KernelTarget::kScalar:
      return true;
#if defined(FRACTAL_KERNEL_X86)
    case KernelTarget::kAvx2:
      return __builtin_cpu_supports("avx2");
    case KernelTarget::kAvx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
#endif
    default:
      return false;
  }
}

KernelTarget BestTarget() {
  static const KernelTarget best = [] {
    if (Supported(KernelTarget::kAvx512)) return KernelTarget::kAvx512;
    if (Supported(KernelTarget::kAvx2)) return KernelTarget::kAvx2;
    return KernelTarget::kScalar;
  }();
  return best;
}

// Lanes look for cycles once some lane has run this many iterations.
constexpr std::int64_t kCycleCheckFrom = 64;
constexpr std::int64_t kNoCycleCheck = std::int64_t{1} << 40;  // beyond every cap

std::atomic<bool> cycle_detection{true};
constexpr int kNotForced = -1;
std::atomic<int> forced{kNotForced};
std::atomic<KernelStats*> stats_sink{nullptr};

using TargetBody = void (*)(const kernel_detail::RowTask&, std::uint64_t&);

TargetBody BodyOf(KernelTarget target) {
  switch (target) {
#if defined(FRACTAL_KERNEL_X86)
    case KernelTarget::kAvx2:
      return kernel_detail::ComputeRowAvx2;
    case KernelTarget::kAvx512:
      return kernel_detail::ComputeRowAvx512;
#endif
    default:
      return kernel_detail::ComputeRowScalarLanes;
  }
}

void AddStats(std::uint64_t points, std::uint64_t executed) {
  KernelStats* stats = stats_sink.load(std::memory_order_relaxed);
  if (stats == nullptr) return;
  stats->rows.fetch_add(1, std::memory_order_relaxed);
  stats->points.fetch_add(points, std::memory_order_relaxed);
  stats->executed_iterations.fetch_add(executed, std::memory_order_relaxed);
}

}  // namespace

void ComputeRow(const EscapeParams& params, double y, std::span<const double> xs,
                std::span<std::int32_t> counts) {
  if (counts.size() != xs.size()) throw std::invalid_argument("ComputeRow: sizes differ");
  if (params.cap <= 0) {
    for (std::int32_t& n : counts) n = 0;
    return;
  }
  const int faults_before = std::fetestexcept(kFaults);
  thread_local std::vector<double> c_real;
  c_real.resize(xs.size());
  const double c_imag = (y + params.offset_y) * params.scale;
  bool tame = std::fabs(c_imag) <= kTame;
  for (std::size_t i = 0; i < xs.size(); ++i) {
    c_real[i] = (xs[i] + params.offset_x) * params.scale;
    tame &= std::fabs(c_real[i]) <= kTame;
  }
  if (!tame) {
    // Not a view the viewer reaches; the plain loop gives the counts and the status.
    ComputeRowScalar(params, y, xs, counts);
    AddStats(xs.size(), 0);
    return;
  }
  const kernel_detail::RowTask task{
      c_real.data(),
      c_imag,
      counts.data(),
      static_cast<std::int64_t>(xs.size()),
      params.cap,
      cycle_detection.load(std::memory_order_relaxed) ? kCycleCheckFrom : kNoCycleCheck};
  std::uint64_t executed = 0;
  BodyOf(ActiveKernelTarget())(task, executed);
  std::feclearexcept(kFaults & ~faults_before);
  AddStats(xs.size(), executed);
}

bool KernelTargetSupported(KernelTarget target) { return Supported(target); }

KernelTarget ActiveKernelTarget() {
  const int target = forced.load(std::memory_order_relaxed);
  return target == kNotForced ? BestTarget() : static_cast<KernelTarget>(target);
}

void ForceKernelTarget(std::optional<KernelTarget> target) {
  if (target && !Supported(*target)) {
    throw std::invalid_argument(std::string("kernel target not supported here: ") +
                                KernelTargetName(*target));
  }
  forced.store(target ? static_cast<int>(*target) : kNotForced, std::memory_order_relaxed);
}

void SetCycleDetection(bool on) { cycle_detection.store(on, std::memory_order_relaxed); }

void SetKernelStats(KernelStats* stats) { stats_sink.store(stats, std::memory_order_relaxed); }

const char* KernelTargetName(KernelTarget target) {
  switch (target) {
    case KernelTarget::kScalar:
      return "scalar";
    case KernelTarget::kAvx2:
      return "avx2";
    case KernelTarget::kAvx512:
      return "avx512";
  }
  return "unknown";
}

}  // namespace fractal
