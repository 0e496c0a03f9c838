// The lane scheduler and the fixed groups, on top of the vector body in lanes-inl.h. Compiled
// once per target with it (body.cpp), so every target schedules its lanes the same way.

// Highway's per-target include guard: this file is included once for each target.
#if defined(FRACTAL_RENDER_KERNEL_SCHEDULER_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef FRACTAL_RENDER_KERNEL_SCHEDULER_INL_H_
#undef FRACTAL_RENDER_KERNEL_SCHEDULER_INL_H_
#else
#define FRACTAL_RENDER_KERNEL_SCHEDULER_INL_H_
#endif

#include <hwy/highway.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

#include "render/kernel/chunks.h"
#include "render/kernel/lanes-inl.h"
#include "render/kernel/side_prover-inl.h"
HWY_BEFORE_NAMESPACE();
namespace fractal::kernel_detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

inline void StartLane(LaneState& s, int lane, PointChunk& chunk, const LaneLimits& limits) {
  const std::int64_t point = chunk.taken++;
  s.zr[lane] = 0;
  s.zi[lane] = 0;
  s.cr[lane] = chunk.c_real[point];
  s.ci[lane] = chunk.c_imag[point];
  // The first checkpoint is the orbit's own first state, z = 0.
  s.checkpoint_r[lane] = 0;
  s.checkpoint_i[lane] = 0;
  s.count[lane] = 0;
  s.checkpoint_at[lane] = limits.cycle_check_from;
  s.checkpoint_from[lane] = 0;
  s.running[lane] = -1;
  s.decided_at[lane] = 0;
  s.closest[lane] = kFar;
  s.closest_steps[lane] = 0;
  s.proof_steps[lane] = 0;
  s.point[lane] = point;
  s.chunk[lane] = &chunk;
  const std::uint64_t bit = std::uint64_t{1} << lane;
  const bool may_skip_tests = std::fabs(s.cr[lane]) + std::fabs(s.ci[lane]) < kUntestedBelow;
  s.tested = may_skip_tests ? s.tested & ~bit : s.tested | bit;
}

// An idle lane iterates z = 0, c = 0: quiet, and never finished.
inline void ClearLane(LaneState& s, int lane) {
  s.zr[lane] = s.zi[lane] = s.cr[lane] = s.ci[lane] = 0;
  s.checkpoint_r[lane] = s.checkpoint_i[lane] = 0;
  s.count[lane] = 0;
  s.checkpoint_at[lane] = s.checkpoint_from[lane] = 0;
  s.running[lane] = 0;
  s.decided_at[lane] = 0;
  s.closest[lane] = kFar;
  s.closest_steps[lane] = 0;
  s.proof_steps[lane] = 0;
  s.point[lane] = -1;
  s.chunk[lane] = nullptr;
  s.tested &= ~(std::uint64_t{1} << lane);
}

inline void SwapLanes(LaneState& s, int a, int b) {
  std::swap(s.zr[a], s.zr[b]);
  std::swap(s.zi[a], s.zi[b]);
  std::swap(s.cr[a], s.cr[b]);
  std::swap(s.ci[a], s.ci[b]);
  std::swap(s.checkpoint_r[a], s.checkpoint_r[b]);
  std::swap(s.checkpoint_i[a], s.checkpoint_i[b]);
  std::swap(s.count[a], s.count[b]);
  std::swap(s.checkpoint_at[a], s.checkpoint_at[b]);
  std::swap(s.checkpoint_from[a], s.checkpoint_from[b]);
  std::swap(s.running[a], s.running[b]);
  std::swap(s.decided_at[a], s.decided_at[b]);
  std::swap(s.closest[a], s.closest[b]);
  std::swap(s.closest_steps[a], s.closest_steps[b]);
  std::swap(s.proof_steps[a], s.proof_steps[b]);
  std::swap(s.point[a], s.point[b]);
  std::swap(s.chunk[a], s.chunk[b]);
  const std::uint64_t differ = (s.tested >> a ^ s.tested >> b) & 1;
  s.tested ^= differ << a | differ << b;
}

inline void MoveLane(LaneState& s, int to, int from) {
  SwapLanes(s, to, from);
  ClearLane(s, from);
}

// Packs the busy lanes of [0, live) to the front, so the tail of the rows runs on fewer vectors.
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

// Orbits that have run this long lead: one that runs much longer still would hold up the end
// of the drawing if it ran at the pace of every other lane.
constexpr std::int64_t kLeadFrom = std::int64_t{1} << 16;
// Runs between two looks for leaders. Where points finish every few blocks, a look at every run
// cost 15 % of a drawing at dive 8; a leader that starts a few runs late loses nothing.
constexpr int kRunsPerLead = 16;

// The lane of the first vector with the lowest count.
inline int LowestInFirstVector(const LaneState& s) {
  int lowest = 0;
  for (int lane = 1; lane < kLanes; ++lane) {
    lowest = s.count[lane] < s.count[lowest] ? lane : lowest;
  }
  return lowest;
}

// Moves the running lanes with the highest counts from kLeadFrom up into the first vector;
// returns whether it holds one. Only where more than one vector runs: one alone runs at the
// leaders' pace anyway.
inline bool Lead(LaneState& s, int live) {
  if (live <= kLanes) return false;
  int lowest = LowestInFirstVector(s);
  for (int lane = kLanes; lane < live; ++lane) {
    if (s.count[lane] < kLeadFrom || s.count[lane] <= s.count[lowest]) continue;
    SwapLanes(s, lane, lowest);
    lowest = LowestInFirstVector(s);
  }
  std::int64_t highest = 0;
  for (int lane = 0; lane < kLanes; ++lane) highest = std::max(highest, s.count[lane]);
  return highest >= kLeadFrom;
}

// Takes the points of the feed one at a time, chunk after chunk.
class PointQueue {
 public:
  explicit PointQueue(const PointFeed& feed) : feed_(feed) {}

  // Whether the feed has no more points.
  bool Dry() const { return dry_ && chunk_ == nullptr; }

  // Starts the next point in `lane`; false once the feed is dry.
  bool StartNext(LaneState& s, int lane) {
    if (chunk_ == nullptr && !dry_) {
      chunk_ = feed_.next(feed_.context);
      dry_ = chunk_ == nullptr;
    }
    if (chunk_ == nullptr) return false;
    StartLane(s, lane, *chunk_, feed_.limits);
    // Once every point of the chunk is taken only its lanes know it, and the feed may reuse it
    // as soon as it is finished.
    if (chunk_->taken == chunk_->size) chunk_ = nullptr;
    return true;
  }

 private:
  const PointFeed& feed_;
  PointChunk* chunk_ = nullptr;
  bool dry_ = false;
};

// Writes the counts and work of the finished lanes and gives them new points; returns the live
// lanes.
inline int Retire(LaneState& s, std::uint64_t finished, PointQueue& queue, const PointFeed& feed,
                  int live) {
  bool idle = false;
  for (std::uint64_t bits = finished; bits != 0; bits &= bits - 1) {
    const int lane = __builtin_ctzll(bits);
    PointChunk& chunk = *s.chunk[lane];
    const std::int64_t n = s.count[lane] < feed.limits.cap ? s.count[lane] : feed.limits.cap;
    chunk.counts[s.point[lane]] = static_cast<std::int32_t>(n);
    chunk.work[s.point[lane]] = s.decided_at[lane] != 0 ? s.decided_at[lane] : n;
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
  PointQueue queue(feed);
  SideProver prover;
  int live = 0;
  while (live < kSlots && queue.StartNext(s, live)) ++live;
  for (int lane = live; lane < kSlots; ++lane) ClearLane(s, lane);
  // Below kLeadFrom's cap no lane can lead.
  const bool may_lead = feed.limits.cap > kLeadFrom;
  bool lead = false;
  int runs_to_lead = 0;
  while (live > 0 && !feed.abandoned(feed.context)) {
    if (may_lead && --runs_to_lead <= 0) {
      lead = Lead(s, live);
      runs_to_lead = kRunsPerLead;
    }
    const RunResult run = Run(s, feed.limits, live, queue.Dry(), lead);
    // Added before any chunk is reported finished, so whoever waits for the chunk sees them.
    work.executed += run.lane_steps;
    prover.Propose(s, run.proposed);
    const std::uint64_t proven =
        prover.Advance(s, live, queue.Dry() ? run.blocks * kBlock : 0, feed.limits, work);
    live = Retire(s, run.finished | proven, queue, feed, live);
  }
}

// Runs the `held` points of a group from z = 0 until every one is done; returns the lane
// iterations. At most cap steps, so no count passes the cap.
inline std::uint64_t RunGroup(const RowTask& task, std::int64_t first, int held) {
  const DF df;
  const DI di;
  const double* c_real = task.c_real + first;
  const double* c_imag = task.c_imag + first;
  // A group short of points reads copies, so that lanes past the last point read zeros, not
  // past the end of the points.
  alignas(64) double tail_real[kGroup];
  alignas(64) double tail_imag[kGroup];
  if (held < kGroup) {
    for (int i = 0; i < kGroup; ++i) {
      tail_real[i] = i < held ? c_real[i] : 0;
      tail_imag[i] = i < held ? c_imag[i] : 0;
    }
    c_real = tail_real;
    c_imag = tail_imag;
  }
  using Full = LaneRuns<DF>;
  Full::Lanes lanes[kGroupVectors];
  HWY_UNROLL(4)
  for (int v = 0; v < kGroupVectors; ++v) {
    const int in_vector = held - v * kLanes;
    Full::Lanes& l = lanes[v];
    l.zr = l.zi = l.checkpoint_r = l.checkpoint_i = hn::Zero(df);
    l.cr = hn::LoadU(df, c_real + v * kLanes);
    l.ci = hn::LoadU(df, c_imag + v * kLanes);
    l.count = l.checkpoint_at = hn::Zero(di);
    // Lanes past the last point start finished, and so never hold the group up.
    l.running = hn::FirstN(df, in_vector < 0 ? 0 : static_cast<std::size_t>(in_vector));
  }
  std::int64_t steps = 0;
  while (steps < task.cap) {
    auto any = hn::FirstN(df, 0);
    HWY_UNROLL(4)
    for (int v = 0; v < kGroupVectors; ++v) {
      Full::Step(lanes[v]);
      any = hn::Or(any, lanes[v].running);
    }
    ++steps;
    if (hn::AllFalse(df, any)) break;
  }
  alignas(64) std::int64_t counts[kGroup];
  HWY_UNROLL(4)
  for (int v = 0; v < kGroupVectors; ++v) hn::Store(lanes[v].count, di, counts + v * kLanes);
  for (int i = 0; i < held; ++i) task.counts[first + i] = static_cast<std::int32_t>(counts[i]);
  return static_cast<std::uint64_t>(steps) * static_cast<std::uint64_t>(held);
}

inline void ComputeGroups(const RowTask& task, KernelWork& work) {
  for (std::int64_t first = 0; first < task.size; first += kGroup) {
    const std::int64_t left = task.size - first;
    work.executed += RunGroup(task, first, left < kGroup ? static_cast<int>(left) : kGroup);
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace fractal::kernel_detail
HWY_AFTER_NAMESPACE();

#endif  // per-target include guard
