// The per-instruction-set bodies of the kernel, each compiled in its own translation unit with
// its own instruction-set flags. Only the dispatcher calls them, and only after it has checked
// that this CPU runs the target.
#pragma once

#include <cstdint>

namespace fractal::kernel_detail {

// The points of one or more rows, already reduced to plane coordinates, one after another. Plain
// pointers on purpose: the targets use no library templates, whose out-of-line copies the linker
// could take from an AVX-512 object for use everywhere.
struct RowTask {
  const double* c_real = nullptr;  // (x + offset_x) * scale of each point
  const double* c_imag = nullptr;  // (y + offset_y) * scale of each point's row
  std::int32_t* counts = nullptr;  // one per point
  std::int64_t size = 0;
  std::int64_t cap = 0;               // at least 1
  std::int64_t cycle_check_from = 0;  // count from which lanes look for cycles: a multiple of 8
};

// Each fills task.counts and adds the lane iterations it ran to `executed`. The Lanes bodies
// refill lanes as points finish and look for cycles; the Groups bodies, for small caps, run
// fixed groups of consecutive points until all of the group is done.
void ComputeRowScalarLanes(const RowTask& task, std::uint64_t& executed);
void ComputeGroupsScalar(const RowTask& task, std::uint64_t& executed);
#if defined(FRACTAL_KERNEL_X86)
void ComputeRowAvx2(const RowTask& task, std::uint64_t& executed);
void ComputeRowAvx512(const RowTask& task, std::uint64_t& executed);
void ComputeGroupsAvx2(const RowTask& task, std::uint64_t& executed);
void ComputeGroupsAvx512(const RowTask& task, std::uint64_t& executed);
#endif

}  // namespace fractal::kernel_detail
