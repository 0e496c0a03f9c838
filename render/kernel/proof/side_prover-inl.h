// The prover beside the lane scheduler: it takes the lanes' proposals as they come and steps
// its own vector lanes, one proposal each, between the scheduler's runs. A lane goes on
// iterating while its proposal is in flight: a proof only ever says what the orbit would do
// anyway, so it may retire the point at the cap whenever it comes. Long orbits first try a Taylor
// trap (proof/taylor_trap.h) at once, at their proposals and whenever their last attempt
// predicted one would close.

// Highway's per-target include guard: this file is included once for each target.
#if defined(FRACTAL_RENDER_KERNEL_PROOF_SIDE_PROVER_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef FRACTAL_RENDER_KERNEL_PROOF_SIDE_PROVER_INL_H_
#undef FRACTAL_RENDER_KERNEL_PROOF_SIDE_PROVER_INL_H_
#else
#define FRACTAL_RENDER_KERNEL_PROOF_SIDE_PROVER_INL_H_
#endif

#include <hwy/highway.h>

#include <algorithm>
#include <cstdint>

#include "render/kernel/chunks.h"
#include "render/kernel/lanes/lane_state-inl.h"
#include "render/kernel/proof/prover-inl.h"
#include "render/kernel/proof/taylor_trap.h"
#include "render/kernel/tuning.h"

HWY_BEFORE_NAMESPACE();
namespace fractal::kernel_detail {
namespace HWY_NAMESPACE {

// Proposals in flight at most; later ones are dropped until some proof ends.
inline constexpr int kProposalsInFlight =
    std::max(tuning::kMinProposalsInFlight, tuning::kProposalsPerProverLane* kProverLanes);

// Whether a Taylor trap is worth trying on the lane now: its orbit has run long enough for the
// trap's scalar steps to be a small part of it (limits.trap_from), its share of proof steps is not
// spent, and it is as near its cycle as the last attempt predicted.
inline bool TrapDue(const LaneState& s, int lane, std::int64_t period, const LaneLimits& limits) {
  const std::int64_t count = s.count[lane];
  return count >= limits.trap_from && count >= s.trap_from[lane] &&
         period <= tuning::kTrapLongestPeriod &&
         s.proof_steps[lane] < count / tuning::kProofShareInverse;
}

// Tries a Taylor trap on the lane's orbit, `period` steps or a few more; true if it proved the
// point. Otherwise the trap is due again once the orbit should be near enough, or a quarter
// further on without a prediction.
inline bool TryTrap(LaneState& s, int lane, std::int64_t period, const LaneLimits& limits,
                    KernelWork& work) {
  const bool exact = s.trap_period[lane] > 0;
  const ProofCandidate candidate{
      s.cr[lane], s.ci[lane], s.zr[lane], s.zi[lane], exact ? s.trap_period[lane] : period, 0};
  const TaylorAttempt attempt = TryTaylorTrap(candidate, tuning::kTrapDegree, exact);
  const std::int64_t steps = attempt.newton_steps + attempt.model_steps;
  work.executed += static_cast<std::uint64_t>(steps);
  work.proof_steps += static_cast<std::uint64_t>(steps);
  work.trap_steps += static_cast<std::uint64_t>(steps);
  s.proof_steps[lane] += steps;
  // The period is kept while Newton finds an attracting cycle for it: the orbit's return, looked
  // for while it was far from its cycle, may have been a wrong one.
  s.trap_period[lane] = attempt.steps_to_wait > 0 || attempt.radius > 0 ? attempt.period : 0;
  const std::int64_t count = s.count[lane];
  if (attempt.proven && count < limits.cap) {
    ++work.proven;
    ++work.trapped;
    s.decided_at[lane] = count;
    s.count[lane] = limits.cap;
    return true;
  }
  const double predicted = attempt.steps_to_wait;
  const std::int64_t wait = predicted > 0 && predicted < 4.0 * static_cast<double>(count)
                                ? static_cast<std::int64_t>(predicted)
                                : count / 4;
  s.trap_from[lane] = count + std::max<std::int64_t>(wait, 1);
  return false;
}

// The lanes in `due` whose trap came due between proposals: tried with the period the last
// attempt found, or put off by a quarter if their share of proof steps is spent. Returns the lanes
// proven.
inline std::uint64_t TryDueTraps(LaneState& s, std::uint64_t due, const LaneLimits& limits,
                                 KernelWork& work) {
  std::uint64_t proven = 0;
  for (; due != 0; due &= due - 1) {
    const int lane = __builtin_ctzll(due);
    const std::int64_t period = s.trap_period[lane];
    if (period == 0) {
      s.trap_from[lane] = 0;  // at the next proposal
    } else if (TrapDue(s, lane, period, limits)) {
      if (TryTrap(s, lane, period, limits, work)) proven |= std::uint64_t{1} << lane;
    } else {
      s.trap_from[lane] = s.count[lane] + s.count[lane] / 4;
    }
  }
  return proven;
}

class SideProver {
 public:
  HWY_ATTR SideProver() {
    for (int lane = 0; lane < kProverLanes; ++lane) IdleLane(lanes_, lane);
    for (int k = 0; k < kProposalsInFlight; ++k) free_[k] = kProposalsInFlight - 1 - k;
    free_count_ = kProposalsInFlight;
  }

  // Takes the proposals of the lanes in `proposed`, unless their point has one in flight. Long
  // orbits try a Taylor trap first; returns the lanes whose points it proved.
  std::uint64_t Propose(LaneState& s, std::uint64_t proposed, const LaneLimits& limits,
                        KernelWork& work) {
    std::uint64_t proven = 0;
    for (std::uint64_t bits = proposed; bits != 0; bits &= bits - 1) {
      const int lane = __builtin_ctzll(bits);
      const ProofCandidate candidate = CandidateOf(s, lane);
      s.closest[lane] = kFar;
      if (TrapDue(s, lane, candidate.period, limits) &&
          TryTrap(s, lane, candidate.period, limits, work)) {
        proven |= std::uint64_t{1} << lane;
        continue;
      }
      if (free_count_ == 0 || InFlight(s, lane)) continue;
      const int k = free_[--free_count_];
      StartProof(slots_[k], candidate,
                 s.count[lane] / tuning::kProofShareInverse - s.proof_steps[lane]);
      chunk_[k] = s.chunk[lane];
      point_[k] = s.point[lane];
      waiting_[(first_waiting_ + waiting_count_++) % kProposalsInFlight] = k;
    }
    return proven;
  }

  // Steps the prover while enough of its lanes are busy (tuning::kProverBusyNumerator in
  // kProverBusyDenominator), or while every live lane waits on a proof, kMaxProverSteps steps at
  // most. Once the feed is dry, it also steps for fewer proposals, `dry_pace` steps at most: as
  // many as each lane took in its last run, so that the proofs of the last long orbits keep pace
  // with their lanes. Returns the lanes whose points it proved: their count is now the cap.
  std::uint64_t Advance(LaneState& s, int live, std::int64_t dry_pace, const LaneLimits& limits,
                        KernelWork& work) {
    std::uint64_t proven = 0;
    Fill();
    std::int64_t steps_left = tuning::kMaxProverSteps;
    while (steps_left > 0 && busy_ > 0) {
      if (!MostlyBusy() && busy_ + waiting_count_ < live) {
        if (dry_pace <= 0) break;
        steps_left = std::min(steps_left, dry_pace);
      }
      const std::int64_t before = steps_left;
      for (std::uint64_t events = StepProverLanes(lanes_, steps_left); events != 0;
           events &= events - 1) {
        const int lane = __builtin_ctzll(events);
        const int k = lanes_.slot[lane];
        if (!HandleEvent(lanes_, lane, slots_[k])) continue;
        proven |= Finish(s, k, limits, work);
        --busy_;
        Take(lane);
      }
      dry_pace -= before - steps_left;
    }
    return proven;
  }

  // Whether no proposal is in flight.
  bool Idle() const { return free_count_ == kProposalsInFlight; }

 private:
  bool MostlyBusy() const {
    return tuning::kProverBusyDenominator * busy_ >= tuning::kProverBusyNumerator * kProverLanes;
  }

  static ProofCandidate CandidateOf(const LaneState& s, int lane) {
    return {s.cr[lane], s.ci[lane], s.zr[lane], s.zi[lane], s.closest_steps[lane], s.closest[lane]};
  }

  bool InFlight(const LaneState& s, int lane) const {
    for (int k = 0; k < kProposalsInFlight; ++k) {
      if (chunk_[k] == s.chunk[lane] && point_[k] == s.point[lane]) return true;
    }
    return false;
  }

  void Fill() {
    for (int lane = 0; lane < kProverLanes && waiting_count_ > 0; ++lane) {
      if (lanes_.slot[lane] < 0) Take(lane);
    }
  }

  // Gives a free prover lane the next waiting proposal that has a radius to try.
  void Take(int lane) {
    while (waiting_count_ > 0) {
      const int k = waiting_[first_waiting_];
      first_waiting_ = (first_waiting_ + 1) % kProposalsInFlight;
      --waiting_count_;
      if (slots_[k].active && BeginAttempt(lanes_, lane, slots_[k])) {
        lanes_.slot[lane] = k;
        ++busy_;
        return;
      }
      Release(k);  // nothing to try: over before any step
    }
    IdleLane(lanes_, lane);
  }

  // Accounts for slot k's ended proof; returns the lane it proved, if its point is still there.
  std::uint64_t Finish(LaneState& s, int k, const LaneLimits& limits, KernelWork& work) {
    const ProofOutcome& outcome = slots_[k].outcome;
    work.executed += static_cast<std::uint64_t>(outcome.steps);
    work.proof_steps += static_cast<std::uint64_t>(outcome.steps);
    const int lane = LaneOf(s, k);
    Release(k);
    if (lane < 0) return 0;  // finished meanwhile
    s.proof_steps[lane] += outcome.steps;
    if (!outcome.proven || s.running[lane] == 0 || s.count[lane] >= limits.cap) return 0;
    ++work.proven;
    s.decided_at[lane] = s.count[lane];
    s.count[lane] = limits.cap;
    return std::uint64_t{1} << lane;
  }

  void Release(int k) {
    chunk_[k] = nullptr;
    point_[k] = -1;
    free_[free_count_++] = k;
  }

  // The lane that holds slot k's point, or -1.
  int LaneOf(const LaneState& s, int k) const {
    for (int lane = 0; lane < kSlots; ++lane) {
      if (s.chunk[lane] == chunk_[k] && s.point[lane] == point_[k] &&
          s.cr[lane] == slots_[k].candidate.c_real && s.ci[lane] == slots_[k].candidate.c_imag) {
        return lane;
      }
    }
    return -1;
  }

  ProverLanes lanes_;
  int busy_ = 0;
  ProofSlot slots_[kProposalsInFlight];
  PointChunk* chunk_[kProposalsInFlight] = {};
  std::int64_t point_[kProposalsInFlight] = {};
  int free_[kProposalsInFlight] = {};
  int free_count_ = 0;
  int waiting_[kProposalsInFlight] = {};  // slots not yet on a prover lane, a ring
  int first_waiting_ = 0;
  int waiting_count_ = 0;
};

}  // namespace HWY_NAMESPACE
}  // namespace fractal::kernel_detail
HWY_AFTER_NAMESPACE();

#endif  // per-target include guard
