// Chooses the kernel's target once, from what the CPU says it runs, and keeps every target's
// floating-point status the scalar one's.
#include <algorithm>
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

TargetBody BodyOf(KernelTarget target, std::int64_t cap) {
  const bool groups = cap <= kKernelGroupCapLimit;
  switch (target) {
#if defined(FRACTAL_KERNEL_X86)
    case KernelTarget::kAvx2:
      return groups ? kernel_detail::ComputeGroupsAvx2 : kernel_detail::ComputeRowAvx2;
    case KernelTarget::kAvx512:
      return groups ? kernel_detail::ComputeGroupsAvx512 : kernel_detail::ComputeRowAvx512;
#endif
    default:
      return groups ? kernel_detail::ComputeGroupsScalar : kernel_detail::ComputeRowScalarLanes;
  }
}

void AddStats(std::uint64_t rows, std::uint64_t points, std::uint64_t executed) {
  KernelStats* stats = stats_sink.load(std::memory_order_relaxed);
  if (stats == nullptr) return;
  stats->rows.fetch_add(rows, std::memory_order_relaxed);
  stats->points.fetch_add(points, std::memory_order_relaxed);
  stats->executed_iterations.fetch_add(executed, std::memory_order_relaxed);
}

// The plane coordinates of a batch's points, row after row, kept per thread.
struct Plane {
  std::vector<double> c_real;  // one per column
  std::vector<double> row_c_imag;
  std::vector<double> point_c_real;
  std::vector<double> point_c_imag;
};

// Rows [first, last) of the batch, all tame, through the active target: their faults are cleared
// (those raised before stand), as the scalar loop raises none on them.
std::uint64_t RunTameRows(const EscapeParams& params, Plane& plane, std::size_t first,
                          std::size_t last, std::span<std::int32_t> counts) {
  const std::size_t width = plane.c_real.size();
  plane.point_c_real.resize((last - first) * width);
  plane.point_c_imag.resize((last - first) * width);
  for (std::size_t r = first; r < last; ++r) {
    const std::size_t at = (r - first) * width;
    std::copy(plane.c_real.begin(), plane.c_real.end(), plane.point_c_real.begin() + at);
    std::fill_n(plane.point_c_imag.begin() + at, width, plane.row_c_imag[r]);
  }
  const kernel_detail::RowTask task{
      plane.point_c_real.data(),
      plane.point_c_imag.data(),
      counts.data() + first * width,
      static_cast<std::int64_t>((last - first) * width),
      params.cap,
      cycle_detection.load(std::memory_order_relaxed) ? kCycleCheckFrom : kNoCycleCheck};
  const int faults_before = std::fetestexcept(kFaults);
  std::uint64_t executed = 0;
  BodyOf(ActiveKernelTarget(), params.cap)(task, executed);
  std::feclearexcept(kFaults & ~faults_before);
  return executed;
}

}  // namespace

void ComputeRow(const EscapeParams& params, double y, std::span<const double> xs,
                std::span<std::int32_t> counts) {
  if (counts.size() != xs.size()) throw std::invalid_argument("ComputeRow: sizes differ");
  ComputeRows(params, std::span<const double>(&y, 1), xs, counts);
}

void ComputeRows(const EscapeParams& params, std::span<const double> ys, std::span<const double> xs,
                 std::span<std::int32_t> counts) {
  const std::size_t width = xs.size();
  if (counts.size() != ys.size() * width) throw std::invalid_argument("ComputeRows: sizes differ");
  if (params.cap <= 0) {
    for (std::int32_t& n : counts) n = 0;
    return;
  }
  thread_local Plane plane;
  plane.c_real.resize(width);
  plane.row_c_imag.resize(ys.size());
  bool tame_columns = true;
  for (std::size_t i = 0; i < width; ++i) {
    plane.c_real[i] = (xs[i] + params.offset_x) * params.scale;
    tame_columns &= std::fabs(plane.c_real[i]) <= kTame;
  }
  const auto tame_row = [&](std::size_t r) {
    plane.row_c_imag[r] = (ys[r] + params.offset_y) * params.scale;
    return tame_columns && std::fabs(plane.row_c_imag[r]) <= kTame;
  };
  std::uint64_t executed = 0;
  for (std::size_t r = 0; r < ys.size();) {
    if (!tame_row(r)) {
      // Not a view the viewer reaches; the plain loop gives the counts and the status.
      ComputeRowScalar(params, ys[r], xs, counts.subspan(r * width, width));
      ++r;
      continue;
    }
    std::size_t last = r + 1;
    while (last < ys.size() && tame_row(last)) ++last;
    executed += RunTameRows(params, plane, r, last, counts);
    r = last;
  }
  AddStats(ys.size(), ys.size() * width, executed);
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
