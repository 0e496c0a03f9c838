// The lane scheduler: the order points are handed out, and what happens between two runs of the
// lanes (lanes/runs-inl.h). Points come chunk after chunk from the feed; a lane freed by one point
// takes the next at once, so that the slowest points of one chunk run alongside the points of
// the next ones instead of alone. Between runs the scheduler retires finished lanes, hands the
// prover the lanes' proposals and steps it (proof/side_prover-inl.h), and now and then moves the
// longest orbits to the lead (lanes/leaders-inl.h). Once the feed is dry, the busy lanes are
// packed to the front, so that the tail of the drawing runs on fewer vectors.

// Highway's per-target include guard: this file is included once for each target.
#if defined(FRACTAL_RENDER_KERNEL_SCHEDULER_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef FRACTAL_RENDER_KERNEL_SCHEDULER_INL_H_
#undef FRACTAL_RENDER_KERNEL_SCHEDULER_INL_H_
#else
#define FRACTAL_RENDER_KERNEL_SCHEDULER_INL_H_
#endif

#include <hwy/highway.h>

#include <cstdint>

#include "render/kernel/chunks.h"
#include "render/kernel/lanes/lane_state-inl.h"
#include "render/kernel/lanes/leaders-inl.h"
#include "render/kernel/lanes/runs-inl.h"
#include "render/kernel/lanes/untested-inl.h"
#include "render/kernel/proof/side_prover-inl.h"
#include "render/kernel/tuning.h"

HWY_BEFORE_NAMESPACE();
namespace fractal::kernel_detail {
namespace HWY_NAMESPACE {

// Starts point `point` of the chunk, c = cr + ci i, in `lane`, from z = 0, which is also its
// first checkpoint.
HWY_INLINE void StartLane(LaneState& s, int lane, PointChunk& chunk, std::int64_t point, double cr,
                          double ci, const LaneLimits& limits) {
  ClearLane(s, lane);
  s.cr[lane] = cr;
  s.ci[lane] = ci;
  s.checkpoint_at[lane] = limits.cycle_check_from;
  s.running[lane] = -1;
  s.point[lane] = point;
  s.chunk[lane] = &chunk;
  s.needs_tests[lane] = NeedsTests(cr, ci);
}

// Packs the busy lanes of [0, live) to the front; returns how many there are.
inline int Compact(LaneState& s, int live) {
  int front = 0;
  int back = live - 1;
  while (true) {
    while (front <= back && s.point[front] >= 0) ++front;
    while (back > front && s.point[back] < 0) --back;
    if (front >= back) break;
    MoveLane(s, front, back);
  }
  return front;
}

// Takes the points of the feed one at a time, chunk after chunk. It keeps its place in the chunk
// and the chunk's arrays itself, where the compiler can hold them in registers: read from the
// chunk, they were read again after every store to the lanes, which for all the compiler knows
// might change them (centre 12 drew 2 % faster).
class PointQueue {
 public:
  explicit PointQueue(const PointFeed& feed) : feed_(feed) {}

  // Whether the feed has no more points.
  bool Dry() const { return dry_ && chunk_ == nullptr; }

  // Starts the next point in `lane`; false once the feed is dry.
  HWY_INLINE bool StartNext(LaneState& s, int lane) {
    if (chunk_ == nullptr && !dry_) Take(feed_.next(feed_.context));
    if (chunk_ == nullptr) return false;
    const std::int64_t point = next_++;
    StartLane(s, lane, *chunk_, point, c_real_[point], c_imag_[point], feed_.limits);
    // Once every point of the chunk is taken only its lanes know it, and the feed may reuse it
    // as soon as it is finished.
    if (next_ == size_) chunk_ = nullptr;
    return true;
  }

 private:
  void Take(PointChunk* chunk) {
    chunk_ = chunk;
    dry_ = chunk == nullptr;
    if (dry_) return;
    c_real_ = chunk->c_real;
    c_imag_ = chunk->c_imag;
    next_ = 0;
    size_ = chunk->size;
  }

  const PointFeed& feed_;
  PointChunk* chunk_ = nullptr;
  const double* c_real_ = nullptr;
  const double* c_imag_ = nullptr;
  std::int64_t next_ = 0;  // the chunk's next point
  std::int64_t size_ = 0;
  bool dry_ = false;
};

// Writes the counts and work of the finished lanes and gives them new points; returns the live
// lanes. Inlined into the scheduler's loop, with the starts: out of line, they drew centre 12 2-3 %
// slower.
HWY_INLINE int Retire(LaneState& s, std::uint64_t finished, PointQueue& queue,
                      const PointFeed& feed, int live, KernelWork& work) {
  bool idle = false;
  for (std::uint64_t bits = finished; bits != 0; bits &= bits - 1) {
    const int lane = __builtin_ctzll(bits);
    PointChunk& chunk = *s.chunk[lane];
    const std::int64_t n = s.count[lane] < feed.limits.cap ? s.count[lane] : feed.limits.cap;
    chunk.counts[s.point[lane]] = static_cast<std::int32_t>(n);
    chunk.work[s.point[lane]] = s.decided_at[lane] != 0 ? s.decided_at[lane] : n;
    work.undecided += n == feed.limits.cap && s.decided_at[lane] == 0;
    if (--chunk.unfinished == 0) feed.finished(feed.context, chunk);
    if (!queue.StartNext(s, lane)) {
      ClearLane(s, lane);
      idle = true;
    }
  }
  return idle ? Compact(s, live) : live;
}

inline void ComputeFed(const PointFeed& feed, KernelWork& work) {
  LaneState s;
  ClearUnclearedFields(s);
  PointQueue queue(feed);
  SideProver prover;
  int live = 0;
  while (live < kSlots && queue.StartNext(s, live)) ++live;
  for (int lane = live; lane < kSlots; ++lane) ClearLane(s, lane);
  // Below kLeadFrom's cap no lane can lead.
  const bool may_lead = feed.limits.cap > tuning::kLeadFrom;
  bool lead = false;
  int runs_to_look = 0;
  while (live > 0 && !feed.abandoned(feed.context)) {
    if (may_lead && --runs_to_look <= 0) {
      lead = MoveLeadersFirst(s, live);
      runs_to_look = tuning::kRunsPerLeaderLook;
    }
    const RunReport run = Run(s, feed.limits, live, queue.Dry(), lead);
    // Added before any chunk is reported finished, so whoever waits for the chunk sees them.
    work.executed += run.lane_steps;
    std::uint64_t proven = prover.Propose(s, run.proposed, feed.limits, work);
    proven |= TryDueTraps(s, run.traps_due & ~run.proposed, feed.limits, work);
    const std::int64_t dry_pace = queue.Dry() ? run.blocks * tuning::kBlock : 0;
    proven |= prover.Advance(s, live, dry_pace, feed.limits, work);
    live = Retire(s, run.finished | proven, queue, feed, live, work);
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace fractal::kernel_detail
HWY_AFTER_NAMESPACE();

#endif  // per-target include guard
