// The scalar body, built for every processor: four independent orbits in flight, so that one
// orbit's latency hides behind the others', with the same schedule and cycle detection as the
// vector targets. EscapeCount stays the plain definition these counts must equal.
#include "render/kernel/legacy/kernel_lanes.h"

namespace fractal::kernel_detail {
namespace {

struct Scalar {
  static constexpr int kLanes = 1;
  static constexpr int kMaxVectors = 4;
  using State = LaneState<kLanes * kMaxVectors>;

  static RunResult Run(int vectors, State& s, const LaneLimits& limits, int live);

  static constexpr int kGroup = 4;
  static std::uint64_t RunGroup(const RowTask& task, std::int64_t first, int held);
};

struct Orbit {
  double zr, zi, cr, ci, cpr, cpi;
  std::int64_t count, checkpoint_at, running;  // running: 1 or 0
};

inline void Step(Orbit& o) {
  const double zr2 = o.zr * o.zr;
  const double zi2 = o.zi * o.zi;
  o.running &= !(zr2 + zi2 >= 4.0);
  o.count += o.running;
  const double t = (zr2 - zi2) + o.cr;
  o.zi = o.ci + (2 * o.zr) * o.zi;
  o.zr = t;
}

template <int V>
RunResult RunOrbits(Scalar::State& s, const LaneLimits& limits, int live) {
  const std::int64_t cap = limits.cap;
  Orbit orbits[V];
#pragma GCC unroll 4
  for (int v = 0; v < V; ++v) {
    orbits[v] = {s.zr[v],
                 s.zi[v],
                 s.cr[v],
                 s.ci[v],
                 s.checkpoint_r[v],
                 s.checkpoint_i[v],
                 s.count[v],
                 s.checkpoint_at[v],
                 s.running[v] != 0 ? 1 : 0};
  }
  RunResult result;
  while (result.finished == 0 && result.blocks < kMaxBlocksPerRun) {
    bool checking = false;
#pragma GCC unroll 4
    for (int v = 0; v < V; ++v)
      checking |= orbits[v].running && orbits[v].count >= limits.cycle_check_from;
    if (checking) {
#pragma GCC unroll 8
      for (int i = 0; i < kBlock; ++i) {
#pragma GCC unroll 4
        for (int v = 0; v < V; ++v) {
          Orbit& o = orbits[v];
          Step(o);
          if (i % kCycleCompareEvery == kCycleCompareEvery - 1 && o.running && o.zr == o.cpr &&
              o.zi == o.cpi) {
            o.count = cap;
          }
        }
      }
#pragma GCC unroll 4
      for (int v = 0; v < V; ++v) {
        Orbit& o = orbits[v];
        if (o.running && o.count >= o.checkpoint_at) {
          o.cpr = o.zr;
          o.cpi = o.zi;
          o.checkpoint_at *= 2;
        }
      }
    } else {
#pragma GCC unroll 8
      for (int i = 0; i < kBlock; ++i) {
#pragma GCC unroll 4
        for (int v = 0; v < V; ++v) Step(orbits[v]);
      }
    }
    ++result.blocks;
#pragma GCC unroll 4
    for (int v = 0; v < V; ++v) {
      const bool done = v < live && (!orbits[v].running || orbits[v].count >= cap);
      result.finished |= static_cast<std::uint64_t>(done) << v;
    }
  }
#pragma GCC unroll 4
  for (int v = 0; v < V; ++v) {
    const Orbit& o = orbits[v];
    s.zr[v] = o.zr;
    s.zi[v] = o.zi;
    s.checkpoint_r[v] = o.cpr;
    s.checkpoint_i[v] = o.cpi;
    s.count[v] = o.count;
    s.checkpoint_at[v] = o.checkpoint_at;
    s.running[v] = o.running ? -1 : 0;
  }
  return result;
}

RunResult Scalar::Run(int vectors, State& s, const LaneLimits& limits, int live) {
  switch (vectors) {
    case 1:
      return RunOrbits<1>(s, limits, live);
    case 2:
      return RunOrbits<2>(s, limits, live);
    case 3:
      return RunOrbits<3>(s, limits, live);
    default:
      return RunOrbits<4>(s, limits, live);
  }
}

std::uint64_t Scalar::RunGroup(const RowTask& task, std::int64_t first, int held) {
  Orbit orbits[kGroup];
#pragma GCC unroll 4
  for (int v = 0; v < kGroup; ++v) {
    // Orbits past the last point start finished, and so never hold the group up.
    const bool point = v < held;
    orbits[v] = {0,
                 0,
                 point ? task.c_real[first + v] : 0,
                 point ? task.c_imag[first + v] : 0,
                 0,
                 0,
                 0,
                 0,
                 point ? 1 : 0};
  }
  // At most cap steps, so no count passes the cap.
  std::int64_t steps = 0;
  while (steps < task.cap) {
    std::int64_t any = 0;
#pragma GCC unroll 4
    for (int v = 0; v < kGroup; ++v) {
      Step(orbits[v]);
      any |= orbits[v].running;
    }
    ++steps;
    if (any == 0) break;
  }
  for (int v = 0; v < held; ++v)
    task.counts[first + v] = static_cast<std::int32_t>(orbits[v].count);
  return static_cast<std::uint64_t>(steps) * static_cast<std::uint64_t>(held);
}

}  // namespace

void ComputeGroupsScalar(const RowTask& task, std::uint64_t& executed) {
  ComputeGroups<Scalar>(task, executed);
}

void ComputeFedScalar(const PointFeed& feed, std::uint64_t& executed) {
  ComputeFed<Scalar>(feed, executed);
}

}  // namespace fractal::kernel_detail
