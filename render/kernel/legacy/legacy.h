// TEMPORARY: the hand-written bodies, kept only to time the Highway body against them in one run.
#pragma once

#include <atomic>
#include <cstdint>

#include "render/kernel/chunks.h"

namespace fractal::kernel_detail {

void ComputeFedScalar(const PointFeed& feed, std::uint64_t& executed);
void ComputeGroupsScalar(const RowTask& task, std::uint64_t& executed);
void ComputeFedAvx2(const PointFeed& feed, std::uint64_t& executed);
void ComputeFedAvx512(const PointFeed& feed, std::uint64_t& executed);
void ComputeGroupsAvx2(const RowTask& task, std::uint64_t& executed);
void ComputeGroupsAvx512(const RowTask& task, std::uint64_t& executed);

// 0: the Highway body; 1: hand-written scalar; 2: AVX2; 3: AVX-512.
inline std::atomic<int> legacy_body{0};

}  // namespace fractal::kernel_detail
