// Compiles the kernel's body once per instruction set Highway targets here, and dispatches to the
// best one this CPU runs (or the one a test forces).
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "render/kernel/body.cpp"
#include <hwy/foreach_target.h>  // re-includes this file once per target
#include <hwy/highway.h>

#include "render/kernel/scheduler-inl.h"

HWY_BEFORE_NAMESPACE();
namespace fractal::kernel_detail {
namespace HWY_NAMESPACE {

void ComputeFedOnTarget(const PointFeed& feed, KernelWork& work) { ComputeFed(feed, work); }

void ProveCandidatesOnTarget(const ProofCandidate* candidates, const std::int64_t* budgets,
                             ProofOutcome* outcomes, int count) {
  for (int first = 0; first < count; first += kProofBatch) {
    const int batch = count - first < kProofBatch ? count - first : kProofBatch;
    ProofSlot slots[kProofBatch];
    for (int k = 0; k < batch; ++k) StartProof(slots[k], candidates[first + k], budgets[first + k]);
    ProveSlots(slots, batch);
    for (int k = 0; k < batch; ++k) outcomes[first + k] = slots[k].outcome;
  }
}

void ComputeGroupsOnTarget(const RowTask& task, KernelWork& work) { ComputeGroups(task, work); }

}  // namespace HWY_NAMESPACE
}  // namespace fractal::kernel_detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace fractal::kernel_detail {

HWY_EXPORT(ComputeFedOnTarget);
HWY_EXPORT(ComputeGroupsOnTarget);
HWY_EXPORT(ProveCandidatesOnTarget);

void ProveCandidatesBody(const ProofCandidate* candidates, const std::int64_t* budgets,
                         ProofOutcome* outcomes, int count) {
  HWY_DYNAMIC_DISPATCH(ProveCandidatesOnTarget)(candidates, budgets, outcomes, count);
}

void ComputeFedBody(const PointFeed& feed, KernelWork& work) {
  HWY_DYNAMIC_DISPATCH(ComputeFedOnTarget)(feed, work);
}

void ComputeGroupsBody(const RowTask& task, KernelWork& work) {
  HWY_DYNAMIC_DISPATCH(ComputeGroupsOnTarget)(task, work);
}

}  // namespace fractal::kernel_detail
#endif  // HWY_ONCE
