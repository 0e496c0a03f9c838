// The AVX2 body: four lanes a vector, four vectors in flight. Compiled with -mavx2 and nothing
// else (no -mfma); the global -ffp-contract=off keeps every product and sum separately rounded.
#include <immintrin.h>

#include "render/kernel/legacy/kernel_lanes.h"

namespace fractal::kernel_detail {
namespace {

struct Avx2 {
  static constexpr int kLanes = 4;
  static constexpr int kMaxVectors = 4;
  using State = LaneState<kLanes * kMaxVectors>;

  static RunResult Run(int vectors, State& s, const LaneLimits& limits, int live);

  static constexpr int kGroupVectors = 2;
  static constexpr int kGroup = kLanes * kGroupVectors;
  static std::uint64_t RunGroup(const RowTask& task, std::int64_t first, int held);
};

// One iteration of one vector, in EscapeCount's order. `running` is all ones in a lane that has
// passed every escape test; the count of such a lane goes up by one (it subtracts -1).
inline void Step(__m256d& zr, __m256d& zi, __m256d cr, __m256d ci, __m256i& count,
                 __m256d& running) {
  const __m256d zr2 = _mm256_mul_pd(zr, zr);
  const __m256d zi2 = _mm256_mul_pd(zi, zi);
  // !(zr2 + zi2 >= 4): true for NaN, exactly as the scalar test lets NaN through.
  const __m256d inside = _mm256_cmp_pd(_mm256_add_pd(zr2, zi2), _mm256_set1_pd(4.0), _CMP_NGE_UQ);
  running = _mm256_and_pd(running, inside);
  count = _mm256_sub_epi64(count, _mm256_castpd_si256(running));
  const __m256d t = _mm256_add_pd(_mm256_sub_pd(zr2, zi2), cr);
  zi = _mm256_add_pd(ci, _mm256_mul_pd(_mm256_mul_pd(_mm256_set1_pd(2.0), zr), zi));
  zr = t;
}

template <int V>
RunResult RunVectors(Avx2::State& s, const LaneLimits& limits, int live) {
  const __m256i cap = _mm256_set1_epi64x(limits.cap);
  const __m256i below_cap = _mm256_set1_epi64x(limits.cap - 1);
  const __m256i below_check = _mm256_set1_epi64x(limits.cycle_check_from - 1);
  __m256d zr[V], zi[V], cr[V], ci[V], cpr[V], cpi[V], running[V];
  __m256i count[V], checkpoint_at[V];
  int held[V];
#pragma GCC unroll 8
  for (int v = 0; v < V; ++v) {
    const int o = v * 4;
    zr[v] = _mm256_load_pd(s.zr + o);
    zi[v] = _mm256_load_pd(s.zi + o);
    cr[v] = _mm256_load_pd(s.cr + o);
    ci[v] = _mm256_load_pd(s.ci + o);
    cpr[v] = _mm256_load_pd(s.checkpoint_r + o);
    cpi[v] = _mm256_load_pd(s.checkpoint_i + o);
    running[v] =
        _mm256_castsi256_pd(_mm256_load_si256(reinterpret_cast<const __m256i*>(s.running + o)));
    count[v] = _mm256_load_si256(reinterpret_cast<const __m256i*>(s.count + o));
    checkpoint_at[v] = _mm256_load_si256(reinterpret_cast<const __m256i*>(s.checkpoint_at + o));
    held[v] = static_cast<int>(HeldLanes(live, v, 4));
  }
  RunResult result;
  while (result.finished == 0 && result.blocks < kMaxBlocksPerRun) {
    __m256d checking = _mm256_setzero_pd();
#pragma GCC unroll 8
    for (int v = 0; v < V; ++v) {
      const __m256i due = _mm256_cmpgt_epi64(count[v], below_check);
      checking = _mm256_or_pd(checking, _mm256_and_pd(running[v], _mm256_castsi256_pd(due)));
    }
    if (_mm256_movemask_pd(checking) != 0) {
      // Any equality with the checkpoint within the block counts if the lane is still running
      // at its end: then it was running at every step of the block.
      __m256d same[V];
#pragma GCC unroll 8
      for (int v = 0; v < V; ++v) same[v] = _mm256_setzero_pd();
#pragma GCC unroll 8
      for (int i = 0; i < kBlock; ++i) {
#pragma GCC unroll 8
        for (int v = 0; v < V; ++v) {
          Step(zr[v], zi[v], cr[v], ci[v], count[v], running[v]);
          if (i % kCycleCompareEvery != kCycleCompareEvery - 1) continue;
          const __m256d eq = _mm256_and_pd(_mm256_cmp_pd(zr[v], cpr[v], _CMP_EQ_OQ),
                                           _mm256_cmp_pd(zi[v], cpi[v], _CMP_EQ_OQ));
          same[v] = _mm256_or_pd(same[v], eq);
        }
      }
#pragma GCC unroll 8
      for (int v = 0; v < V; ++v) {
        const __m256i periodic = _mm256_castpd_si256(_mm256_and_pd(same[v], running[v]));
        count[v] = _mm256_blendv_epi8(count[v], cap, periodic);
        const __m256i due = _mm256_and_si256(
            _mm256_castpd_si256(running[v]),
            _mm256_cmpgt_epi64(count[v],
                               _mm256_sub_epi64(checkpoint_at[v], _mm256_set1_epi64x(1))));
        cpr[v] = _mm256_blendv_pd(cpr[v], zr[v], _mm256_castsi256_pd(due));
        cpi[v] = _mm256_blendv_pd(cpi[v], zi[v], _mm256_castsi256_pd(due));
        checkpoint_at[v] = _mm256_blendv_epi8(
            checkpoint_at[v], _mm256_add_epi64(checkpoint_at[v], checkpoint_at[v]), due);
      }
    } else {
#pragma GCC unroll 8
      for (int i = 0; i < kBlock; ++i) {
#pragma GCC unroll 8
        for (int v = 0; v < V; ++v) Step(zr[v], zi[v], cr[v], ci[v], count[v], running[v]);
      }
    }
    ++result.blocks;
#pragma GCC unroll 8
    for (int v = 0; v < V; ++v) {
      const __m256d capped = _mm256_castsi256_pd(_mm256_cmpgt_epi64(count[v], below_cap));
      const __m256d done = _mm256_or_pd(
          _mm256_xor_pd(running[v], _mm256_castsi256_pd(_mm256_set1_epi64x(-1))), capped);
      const auto bits = static_cast<std::uint64_t>(_mm256_movemask_pd(done) & held[v]);
      result.finished |= bits << (4 * v);
    }
  }
#pragma GCC unroll 8
  for (int v = 0; v < V; ++v) {
    const int o = v * 4;
    _mm256_store_pd(s.zr + o, zr[v]);
    _mm256_store_pd(s.zi + o, zi[v]);
    _mm256_store_pd(s.checkpoint_r + o, cpr[v]);
    _mm256_store_pd(s.checkpoint_i + o, cpi[v]);
    _mm256_store_si256(reinterpret_cast<__m256i*>(s.running + o), _mm256_castpd_si256(running[v]));
    _mm256_store_si256(reinterpret_cast<__m256i*>(s.count + o), count[v]);
    _mm256_store_si256(reinterpret_cast<__m256i*>(s.checkpoint_at + o), checkpoint_at[v]);
  }
  return result;
}

RunResult Avx2::Run(int vectors, State& s, const LaneLimits& limits, int live) {
  switch (vectors) {
    case 1:
      return RunVectors<1>(s, limits, live);
    case 2:
      return RunVectors<2>(s, limits, live);
    case 3:
      return RunVectors<3>(s, limits, live);
    default:
      return RunVectors<4>(s, limits, live);
  }
}

// All ones in the lanes of vector `v` below `held`.
__m256i HeldMask(int held, int v) {
  return _mm256_cmpgt_epi64(_mm256_set1_epi64x(held - 4 * v), _mm256_set_epi64x(3, 2, 1, 0));
}

std::uint64_t Avx2::RunGroup(const RowTask& task, std::int64_t first, int held) {
  constexpr int V = kGroupVectors;
  __m256d zr[V], zi[V], cr[V], ci[V], running[V];
  __m256i count[V];
#pragma GCC unroll 8
  for (int v = 0; v < V; ++v) {
    // Lanes past the last point start finished, and so never hold the group up.
    const __m256i lanes = HeldMask(held, v);
    running[v] = _mm256_castsi256_pd(lanes);
    cr[v] = _mm256_maskload_pd(task.c_real + first + 4 * v, lanes);
    ci[v] = _mm256_maskload_pd(task.c_imag + first + 4 * v, lanes);
    zr[v] = zi[v] = _mm256_setzero_pd();
    count[v] = _mm256_setzero_si256();
  }
  // At most cap steps, so no count passes the cap.
  std::int64_t steps = 0;
  while (steps < task.cap) {
    __m256d any = _mm256_setzero_pd();
#pragma GCC unroll 8
    for (int v = 0; v < V; ++v) {
      Step(zr[v], zi[v], cr[v], ci[v], count[v], running[v]);
      any = _mm256_or_pd(any, running[v]);
    }
    ++steps;
    if (_mm256_movemask_pd(any) == 0) break;
  }
  alignas(32) std::int64_t counts[kGroup];
#pragma GCC unroll 8
  for (int v = 0; v < V; ++v)
    _mm256_store_si256(reinterpret_cast<__m256i*>(counts + 4 * v), count[v]);
  for (int i = 0; i < held; ++i) task.counts[first + i] = static_cast<std::int32_t>(counts[i]);
  return static_cast<std::uint64_t>(steps) * static_cast<std::uint64_t>(held);
}

}  // namespace

void ComputeGroupsAvx2(const RowTask& task, std::uint64_t& executed) {
  ComputeGroups<Avx2>(task, executed);
}

void ComputeFedAvx2(const PointFeed& feed, std::uint64_t& executed) {
  ComputeFed<Avx2>(feed, executed);
}

}  // namespace fractal::kernel_detail
