// The AVX-512 body: eight lanes a vector, four vectors in flight. Compiled with -mavx512f
// -mavx512dq and nothing else; the global -ffp-contract=off keeps every product and sum
// separately rounded, as EscapeCount has them.
#include <immintrin.h>

#include "render/kernel/legacy/kernel_lanes.h"

namespace fractal::kernel_detail {
namespace {

struct Avx512 {
  static constexpr int kLanes = 8;
  static constexpr int kMaxVectors = 4;
  using State = LaneState<kLanes * kMaxVectors>;

  static RunResult Run(int vectors, State& s, const LaneLimits& limits, int live);

  static constexpr int kGroupVectors = 2;
  static constexpr int kGroup = kLanes * kGroupVectors;
  static std::uint64_t RunGroup(const RowTask& task, std::int64_t first, int held);
};

// One iteration of one vector, in EscapeCount's order. z is updated whether or not the lane is
// still running; only the count stops.
inline void Step(__m512d& zr, __m512d& zi, __m512d cr, __m512d ci, __m512d two, __m512i& count,
                 __mmask8& running) {
  const __m512d zr2 = _mm512_mul_pd(zr, zr);
  const __m512d zi2 = _mm512_mul_pd(zi, zi);
  // !(zr2 + zi2 >= 4): true for NaN, exactly as the scalar test lets NaN through.
  running =
      _mm512_mask_cmp_pd_mask(running, _mm512_add_pd(zr2, zi2), _mm512_set1_pd(4.0), _CMP_NGE_UQ);
  count = _mm512_mask_add_epi64(count, running, count, _mm512_set1_epi64(1));
  const __m512d t = _mm512_add_pd(_mm512_sub_pd(zr2, zi2), cr);
  zi = _mm512_add_pd(ci, _mm512_mul_pd(_mm512_mul_pd(two, zr), zi));
  zr = t;
}

// A running lane back at its checkpoint is periodic: its count becomes the cap.
inline void CheckCycle(__m512d zr, __m512d zi, __m512d cpr, __m512d cpi, __m512i cap,
                       __m512i& count, __mmask8 running) {
  const __mmask8 same_r = _mm512_mask_cmp_pd_mask(running, zr, cpr, _CMP_EQ_OQ);
  const __mmask8 same = _mm512_mask_cmp_pd_mask(same_r, zi, cpi, _CMP_EQ_OQ);
  count = _mm512_mask_mov_epi64(count, same, cap);
}

// 2 * zr as a product, as written: hidden from the compiler, which would otherwise turn it into
// zr + zr (the same value) and crowd the adder with it.
__m512d Two() {
  __m512d two = _mm512_set1_pd(2.0);
  asm("" : "+v"(two));
  return two;
}

template <int V>
RunResult RunVectors(Avx512::State& s, const LaneLimits& limits, int live) {
  const __m512i cap = _mm512_set1_epi64(limits.cap);
  const __m512i check_from = _mm512_set1_epi64(limits.cycle_check_from);
  const __m512d two = Two();
  __m512d zr[V], zi[V], cr[V], ci[V], cpr[V], cpi[V];
  __m512i count[V], checkpoint_at[V];
  __mmask8 running[V], held[V];
#pragma GCC unroll 8
  for (int v = 0; v < V; ++v) {
    const int o = v * 8;
    zr[v] = _mm512_load_pd(s.zr + o);
    zi[v] = _mm512_load_pd(s.zi + o);
    cr[v] = _mm512_load_pd(s.cr + o);
    ci[v] = _mm512_load_pd(s.ci + o);
    cpr[v] = _mm512_load_pd(s.checkpoint_r + o);
    cpi[v] = _mm512_load_pd(s.checkpoint_i + o);
    count[v] = _mm512_load_si512(s.count + o);
    checkpoint_at[v] = _mm512_load_si512(s.checkpoint_at + o);
    const __m512i r = _mm512_load_si512(s.running + o);
    running[v] = _mm512_test_epi64_mask(r, r);
    held[v] = static_cast<__mmask8>(HeldLanes(live, v, 8));
  }
  RunResult result;
  while (result.finished == 0 && result.blocks < kMaxBlocksPerRun) {
    bool checking = false;
#pragma GCC unroll 8
    for (int v = 0; v < V; ++v) {
      checking |= _mm512_mask_cmpge_epi64_mask(running[v], count[v], check_from) != 0;
    }
    if (checking) {
#pragma GCC unroll 8
      for (int i = 0; i < kBlock; ++i) {
#pragma GCC unroll 8
        for (int v = 0; v < V; ++v) {
          Step(zr[v], zi[v], cr[v], ci[v], two, count[v], running[v]);
          if (i % kCycleCompareEvery == kCycleCompareEvery - 1)
            CheckCycle(zr[v], zi[v], cpr[v], cpi[v], cap, count[v], running[v]);
        }
      }
#pragma GCC unroll 8
      for (int v = 0; v < V; ++v) {
        const __mmask8 due = _mm512_mask_cmpge_epi64_mask(running[v], count[v], checkpoint_at[v]);
        cpr[v] = _mm512_mask_mov_pd(cpr[v], due, zr[v]);
        cpi[v] = _mm512_mask_mov_pd(cpi[v], due, zi[v]);
        checkpoint_at[v] =
            _mm512_mask_add_epi64(checkpoint_at[v], due, checkpoint_at[v], checkpoint_at[v]);
      }
    } else {
#pragma GCC unroll 8
      for (int i = 0; i < kBlock; ++i) {
#pragma GCC unroll 8
        for (int v = 0; v < V; ++v) Step(zr[v], zi[v], cr[v], ci[v], two, count[v], running[v]);
      }
    }
    ++result.blocks;
#pragma GCC unroll 8
    for (int v = 0; v < V; ++v) {
      const __mmask8 capped = _mm512_cmpge_epi64_mask(count[v], cap);
      const auto done = static_cast<std::uint64_t>(held[v] & (~running[v] | capped) & 0xFF);
      result.finished |= done << (8 * v);
    }
  }
#pragma GCC unroll 8
  for (int v = 0; v < V; ++v) {
    const int o = v * 8;
    _mm512_store_pd(s.zr + o, zr[v]);
    _mm512_store_pd(s.zi + o, zi[v]);
    _mm512_store_pd(s.checkpoint_r + o, cpr[v]);
    _mm512_store_pd(s.checkpoint_i + o, cpi[v]);
    _mm512_store_si512(s.count + o, count[v]);
    _mm512_store_si512(s.checkpoint_at + o, checkpoint_at[v]);
    _mm512_store_si512(s.running + o, _mm512_maskz_set1_epi64(running[v], -1));
  }
  return result;
}

RunResult Avx512::Run(int vectors, State& s, const LaneLimits& limits, int live) {
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

std::uint64_t Avx512::RunGroup(const RowTask& task, std::int64_t first, int held) {
  constexpr int V = kGroupVectors;
  const __m512d two = Two();
  __m512d zr[V], zi[V], cr[V], ci[V];
  __m512i count[V];
  __mmask8 running[V], lanes[V];
#pragma GCC unroll 8
  for (int v = 0; v < V; ++v) {
    // Lanes past the last point start finished, and so never hold the group up.
    lanes[v] = running[v] = static_cast<__mmask8>(HeldLanes(held, v, 8));
    cr[v] = _mm512_maskz_loadu_pd(lanes[v], task.c_real + first + 8 * v);
    ci[v] = _mm512_maskz_loadu_pd(lanes[v], task.c_imag + first + 8 * v);
    zr[v] = zi[v] = _mm512_setzero_pd();
    count[v] = _mm512_setzero_si512();
  }
  // At most cap steps, so no count passes the cap.
  std::int64_t steps = 0;
  while (steps < task.cap) {
    __mmask8 any = 0;
#pragma GCC unroll 8
    for (int v = 0; v < V; ++v) {
      Step(zr[v], zi[v], cr[v], ci[v], two, count[v], running[v]);
      any |= running[v];
    }
    ++steps;
    if (any == 0) break;
  }
#pragma GCC unroll 8
  for (int v = 0; v < V; ++v)
    _mm512_mask_cvtepi64_storeu_epi32(task.counts + first + 8 * v, lanes[v], count[v]);
  return static_cast<std::uint64_t>(steps) * static_cast<std::uint64_t>(held);
}

}  // namespace

void ComputeGroupsAvx512(const RowTask& task, std::uint64_t& executed) {
  ComputeGroups<Avx512>(task, executed);
}

void ComputeFedAvx512(const PointFeed& feed, std::uint64_t& executed) {
  ComputeFed<Avx512>(feed, executed);
}

}  // namespace fractal::kernel_detail
