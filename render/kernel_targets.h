// The per-instruction-set bodies of the kernel, each compiled in its own translation unit with
// its own instruction-set flags. Only the dispatcher calls them, and only after it has checked
// that this CPU runs the target.
//
// Plain pointers and function pointers on purpose: the targets use no library templates, whose
// out-of-line copies the linker could take from an AVX-512 object for use everywhere.
#pragma once

#include <cstdint>

namespace fractal::kernel_detail {

// Points already reduced to plane coordinates, one after another, for the fixed-group bodies.
struct RowTask {
  const double* c_real = nullptr;  // (x + offset_x) * scale of each point
  const double* c_imag = nullptr;  // (y + offset_y) * scale of each point's row
  std::int32_t* counts = nullptr;  // one per point
  std::int64_t size = 0;
  std::int64_t cap = 0;  // at least 1
};

// How far the lanes iterate.
struct LaneLimits {
  std::int64_t cap = 0;               // at least 1
  std::int64_t cycle_check_from = 0;  // count from which lanes look for cycles: a multiple of 8
};

// Points handed to the lanes together: those of one or more rows.
struct PointChunk {
  const double* c_real = nullptr;
  const double* c_imag = nullptr;
  std::int32_t* counts = nullptr;
  std::int64_t size = 0;        // at least 1
  std::int64_t taken = 0;       // points given to lanes so far
  std::int64_t unfinished = 0;  // points whose count is not written yet
};

// Where the lane scheduler takes its points: chunk after chunk as lanes free up, so that the
// slowest points of one chunk run alongside the points of the next ones instead of alone.
struct PointFeed {
  void* context = nullptr;
  PointChunk* (*next)(void* context) = nullptr;  // nullptr once there are no more points
  void (*finished)(void* context, PointChunk& chunk) = nullptr;  // every count is written
  bool (*abandoned)(void* context) = nullptr;  // if true, stop; unfinished chunks are dropped
  LaneLimits limits;
};

// The Fed bodies refill lanes as points finish and look for cycles; the Groups bodies, for small
// caps, run fixed groups of consecutive points until all of the group is done. Each adds the
// lane iterations it ran to `executed`.
void ComputeFedScalar(const PointFeed& feed, std::uint64_t& executed);
void ComputeGroupsScalar(const RowTask& task, std::uint64_t& executed);
#if defined(FRACTAL_KERNEL_X86)
void ComputeFedAvx2(const PointFeed& feed, std::uint64_t& executed);
void ComputeFedAvx512(const PointFeed& feed, std::uint64_t& executed);
void ComputeGroupsAvx2(const RowTask& task, std::uint64_t& executed);
void ComputeGroupsAvx512(const RowTask& task, std::uint64_t& executed);
#endif

}  // namespace fractal::kernel_detail
