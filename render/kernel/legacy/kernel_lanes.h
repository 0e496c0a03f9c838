// The lane scheduler every target shares: it keeps each lane busy with a point of the rows,
// retires a point when it escapes, reaches the cap or is found periodic, and hands its lane to
// the next point.
//
// A target supplies `Run(vectors, state, limits, live)`: it iterates the first `live` lanes
// in blocks of kBlock iterations and returns after the first block at whose end some lane is
// finished, or after kMaxBlocksPerRun blocks, so that an abandoned feed is noticed soon. Counting
// is exact under this schedule: a lane's count stops at the first failed escape test (the running
// mask is sticky, so the NaNs of an escaped orbit cannot revive it), and a count that ran past the
// cap within a block is read as the cap.
//
// Cycle detection is exact too: when the state of a lane that has passed every escape test so
// far equals one of its earlier states, the orbit is periodic through states that all passed,
// so it never escapes and its count is the cap. Checkpoints (the state at counts
// limits.cycle_check_from, twice that, four times, ..., taken at block ends) are compared with
// every later state, in the manner of Brent; the comparisons only run once some lane has iterated
// cycle_check_from times, because on views with few interior points they cost more than they
// save.
#pragma once

#include <cstdint>

#include "render/kernel/legacy/legacy.h"

namespace fractal::kernel_detail {
// Each target's translation unit includes this file with its own instruction-set flags; the
// unnamed namespace gives each of them a copy of its own, so the linker never mixes them.
namespace {

inline constexpr int kBlock = 8;  // iterations between looks at the lanes
// Only every fourth state is compared with the checkpoint (counts that are multiples of 4, as
// checkpoints are taken at multiples of kBlock): a cycle of period p is still found, once the
// window between checkpoints exceeds 4p, and the comparisons cost a quarter.
inline constexpr int kCycleCompareEvery = 4;
// About a tenth of a millisecond of iterations on four vectors.
inline constexpr std::int64_t kMaxBlocksPerRun = 1 << 12;

// The lanes of up to kSlots points, laid out so that a target loads them as vectors.
template <int kSlots>
struct LaneState {
  alignas(64) double zr[kSlots];
  alignas(64) double zi[kSlots];
  alignas(64) double cr[kSlots];
  alignas(64) double ci[kSlots];
  alignas(64) double checkpoint_r[kSlots];
  alignas(64) double checkpoint_i[kSlots];
  alignas(64) std::int64_t count[kSlots];          // escape tests passed; the cap once periodic
  alignas(64) std::int64_t checkpoint_at[kSlots];  // count at which the next checkpoint is taken
  alignas(64) std::int64_t running[kSlots];        // -1 while every escape test has passed, else 0
  std::int64_t point[kSlots];                      // index in its chunk, -1 for an idle lane
  PointChunk* chunk[kSlots];                       // nullptr for an idle lane
};

struct RunResult {
  std::int64_t blocks = 0;     // blocks run
  std::uint64_t finished = 0;  // bit i: lane i is finished
};

template <int kSlots>
void StartLane(LaneState<kSlots>& s, int lane, PointChunk& chunk, const LaneLimits& limits) {
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
  s.running[lane] = -1;
  s.point[lane] = point;
  s.chunk[lane] = &chunk;
}

// An idle lane iterates z = 0, c = 0: quiet, and never finished.
template <int kSlots>
void ClearLane(LaneState<kSlots>& s, int lane) {
  s.zr[lane] = s.zi[lane] = s.cr[lane] = s.ci[lane] = 0;
  s.checkpoint_r[lane] = s.checkpoint_i[lane] = 0;
  s.count[lane] = 0;
  s.checkpoint_at[lane] = 0;
  s.running[lane] = 0;
  s.point[lane] = -1;
  s.chunk[lane] = nullptr;
}

template <int kSlots>
void MoveLane(LaneState<kSlots>& s, int to, int from) {
  s.zr[to] = s.zr[from];
  s.zi[to] = s.zi[from];
  s.cr[to] = s.cr[from];
  s.ci[to] = s.ci[from];
  s.checkpoint_r[to] = s.checkpoint_r[from];
  s.checkpoint_i[to] = s.checkpoint_i[from];
  s.count[to] = s.count[from];
  s.checkpoint_at[to] = s.checkpoint_at[from];
  s.running[to] = s.running[from];
  s.point[to] = s.point[from];
  s.chunk[to] = s.chunk[from];
  ClearLane(s, from);
}

// Packs the busy lanes of [0, live) to the front, so the tail of the rows runs on fewer vectors.
template <int kSlots>
int Compact(LaneState<kSlots>& s, int live) {
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

// Takes the points of the feed one at a time, chunk after chunk.
class PointQueue {
 public:
  explicit PointQueue(const PointFeed& feed) : feed_(feed) {}

  // The chunk of the next point, its point not yet taken; nullptr once the feed is dry.
  PointChunk* Front() {
    if (chunk_ == nullptr && !dry_) {
      chunk_ = feed_.next(feed_.context);
      dry_ = chunk_ == nullptr;
    }
    return chunk_;
  }

  // Forgets the front chunk once every point of it is taken: from then on only its lanes know
  // it, and the feed may reuse it as soon as it is finished.
  void Took() {
    if (chunk_->taken == chunk_->size) chunk_ = nullptr;
  }

 private:
  const PointFeed& feed_;
  PointChunk* chunk_ = nullptr;
  bool dry_ = false;
};

template <int kSlots>
bool StartNext(LaneState<kSlots>& s, int lane, PointQueue& queue, const LaneLimits& limits) {
  PointChunk* chunk = queue.Front();
  if (chunk == nullptr) return false;
  StartLane(s, lane, *chunk, limits);
  queue.Took();
  return true;
}

template <class Target>
void ComputeFed(const PointFeed& feed, std::uint64_t& executed) {
  constexpr int kSlots = Target::kLanes * Target::kMaxVectors;
  LaneState<kSlots> s;
  PointQueue queue(feed);
  int live = 0;
  while (live < kSlots && StartNext(s, live, queue, feed.limits)) ++live;
  for (int lane = live; lane < kSlots; ++lane) ClearLane(s, lane);
  while (live > 0 && !feed.abandoned(feed.context)) {
    const int vectors = (live + Target::kLanes - 1) / Target::kLanes;
    const RunResult run = Target::Run(vectors, s, feed.limits, live);
    // Added before any chunk is reported finished, so whoever waits for the chunk sees them.
    executed += static_cast<std::uint64_t>(run.blocks) * static_cast<std::uint64_t>(live) * kBlock;
    bool idle = false;
    for (std::uint64_t bits = run.finished; bits != 0; bits &= bits - 1) {
      const int lane = __builtin_ctzll(bits);
      PointChunk& chunk = *s.chunk[lane];
      const std::int64_t n = s.count[lane];
      chunk.counts[s.point[lane]] =
          static_cast<std::int32_t>(n < feed.limits.cap ? n : feed.limits.cap);
      if (--chunk.unfinished == 0) feed.finished(feed.context, chunk);
      if (!StartNext(s, lane, queue, feed.limits)) {
        ClearLane(s, lane);
        idle = true;
      }
    }
    if (idle) live = Compact(s, live);
  }
}

// Small caps: groups of Target::kGroup consecutive points, each run by Target::RunGroup from
// z = 0 until every point of the group is done. No refills and no cycle checks: with a cap this
// small they cost more than the idle lanes of a group.
template <class Target>
void ComputeGroups(const RowTask& task, std::uint64_t& executed) {
  for (std::int64_t first = 0; first < task.size; first += Target::kGroup) {
    const std::int64_t left = task.size - first;
    const int held = left < Target::kGroup ? static_cast<int>(left) : Target::kGroup;
    executed += Target::RunGroup(task, first, held);
  }
}

// Bits of the lanes below `live` among the `lanes` lanes of vector `v`.
inline std::uint32_t HeldLanes(int live, int v, int lanes) {
  const int held = live - v * lanes;
  if (held >= lanes) return (1u << lanes) - 1;
  return held <= 0 ? 0u : (1u << held) - 1;
}

}  // namespace
}  // namespace fractal::kernel_detail
