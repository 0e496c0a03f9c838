// Which of the kernel's targets this CPU runs, and the test hook that forces one. The choice
// itself is Highway's: the body's dispatch tables follow its chosen target, which forcing sets
// through Highway's own test hook.
#include <hwy/targets.h>

#include <stdexcept>
#include <string>

#include "render/kernel/kernel.h"

namespace fractal {
namespace {

// What this CPU runs, read before any target is forced (forcing changes Highway's answer).
std::int64_t RealTargets() {
  static const std::int64_t real = hwy::SupportedTargets() & HWY_TARGETS;
  return real;
}

}  // namespace

std::vector<KernelTarget> SupportedKernelTargets() {
  std::vector<KernelTarget> targets;
  // Lower bits are better targets.
  for (std::int64_t bits = RealTargets(); bits != 0; bits &= bits - 1) {
    targets.push_back({bits & -bits});
  }
  return targets;
}

bool KernelTargetSupported(KernelTarget target) {
  return target.bits != 0 && (target.bits & (target.bits - 1)) == 0 &&
         (RealTargets() & target.bits) != 0;
}

KernelTarget ActiveKernelTarget() {
  RealTargets();
  const std::int64_t chosen = hwy::SupportedTargets() & HWY_TARGETS;
  return {chosen & -chosen};
}

void ForceKernelTarget(std::optional<KernelTarget> target) {
  if (target && !KernelTargetSupported(*target)) {
    throw std::invalid_argument("kernel target not supported here: " +
                                std::to_string(target->bits));
  }
  RealTargets();
  hwy::SetSupportedTargetsForTest(target ? target->bits : 0);
}

const char* KernelTargetName(KernelTarget target) { return hwy::TargetName(target.bits); }

}  // namespace fractal
