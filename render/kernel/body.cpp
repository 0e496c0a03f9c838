// Compiles the engine's vector body once per instruction set Highway targets here, and dispatches
// to the best one this CPU runs (or the one a test forces). Everything per target is included from
// here, so that it is one compilation as Highway's foreach_target expects.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "render/kernel/body.cpp"
#include <hwy/foreach_target.h>  // re-includes this file once per target
#include <hwy/highway.h>

#include <algorithm>
#include <limits>

#include "render/kernel/groups-inl.h"
#include "render/kernel/scheduler-inl.h"

HWY_BEFORE_NAMESPACE();
namespace fractal::kernel_detail {
namespace HWY_NAMESPACE {

void ComputeFedOnTarget(const PointFeed& feed, KernelWork& work) { ComputeFed(feed, work); }

void ComputeGroupsOnTarget(const RowTask& task, KernelWork& work) { ComputeGroups(task, work); }

// A lane that proposes `candidate` with `budget`: the side prover gives a point a sixteenth of its
// count, less the steps proofs already ran for it.
void PlaceProposal(LaneState& s, int lane, const ProofCandidate& candidate, std::int64_t budget,
                   PointChunk& chunk) {
  ClearLane(s, lane);
  s.cr[lane] = candidate.c_real;
  s.ci[lane] = candidate.c_imag;
  s.zr[lane] = candidate.z_real;
  s.zi[lane] = candidate.z_imag;
  s.closest[lane] = candidate.distance;
  s.closest_steps[lane] = candidate.period;
  s.count[lane] = std::max<std::int64_t>(budget, 0) * tuning::kProofShareInverse;
  s.running[lane] = -1;
  s.point[lane] = lane;
  s.chunk[lane] = &chunk;
}

void ProveProposalsOnTarget(const ProofCandidate* candidates, const std::int64_t* budgets,
                            ProofOutcome* outcomes, int count) {
  constexpr int kBatch = std::min(kSlots, kProposalsInFlight);
  // No Taylor traps: the outcomes are the disk prover's alone.
  constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();
  const LaneLimits limits{kNever, 0, 0, kNever};
  for (int first = 0; first < count; first += kBatch) {
    const int batch = std::min(kBatch, count - first);
    LaneState s;
    ClearUnclearedFields(s);
    PointChunk chunk;  // names the lanes' points; never read
    std::uint64_t lanes = 0;
    for (int k = 0; k < batch; ++k) {
      PlaceProposal(s, k, candidates[first + k], budgets[first + k], chunk);
      lanes |= std::uint64_t{1} << k;
    }
    SideProver prover;
    KernelWork work;
    prover.Propose(s, lanes, limits, work);
    std::uint64_t proven = 0;
    while (!prover.Idle())
      proven |= prover.Advance(s, batch, tuning::kMaxProverSteps, limits, work);
    for (int k = 0; k < batch; ++k)
      outcomes[first + k] = {(proven >> k & 1) != 0, s.proof_steps[k]};
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace fractal::kernel_detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace fractal::kernel_detail {

HWY_EXPORT(ComputeFedOnTarget);
HWY_EXPORT(ComputeGroupsOnTarget);
HWY_EXPORT(ProveProposalsOnTarget);

void ComputeFedBody(const PointFeed& feed, KernelWork& work) {
  HWY_DYNAMIC_DISPATCH(ComputeFedOnTarget)(feed, work);
}

void ComputeGroupsBody(const RowTask& task, KernelWork& work) {
  HWY_DYNAMIC_DISPATCH(ComputeGroupsOnTarget)(task, work);
}

void ProveProposalsBody(const ProofCandidate* candidates, const std::int64_t* budgets,
                        ProofOutcome* outcomes, int count) {
  HWY_DYNAMIC_DISPATCH(ProveProposalsOnTarget)(candidates, budgets, outcomes, count);
}

}  // namespace fractal::kernel_detail
#endif  // HWY_ONCE
