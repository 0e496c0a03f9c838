// The lanes' state: what each lane holds between runs, in memory, and what a run holds in
// registers. Every per-lane field is listed once, in LaneState and in LaneFields, which clearing,
// starting and swapping lanes loop over; the fields a run holds in registers are listed in Lanes,
// and loaded and stored by LoadLanes and StoreLanes.

// Highway's per-target include guard: this file is included once for each target.
#if defined(FRACTAL_RENDER_KERNEL_LANES_LANE_STATE_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef FRACTAL_RENDER_KERNEL_LANES_LANE_STATE_INL_H_
#undef FRACTAL_RENDER_KERNEL_LANES_LANE_STATE_INL_H_
#else
#define FRACTAL_RENDER_KERNEL_LANES_LANE_STATE_INL_H_
#endif

#include <hwy/highway.h>

#include <cstdint>
#include <limits>
#include <tuple>
#include <utility>

#include "render/kernel/chunks.h"
#include "render/kernel/tuning.h"
#include "render/kernel/vector_step-inl.h"

HWY_BEFORE_NAMESPACE();
namespace fractal::kernel_detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Lanes the scheduler holds: up to tuning::kMaxVectors full vectors of them.
inline constexpr int kSlots = kFullLanes * tuning::kMaxVectors;
static_assert(kSlots <= 64, "a run reports its lanes in 64 bits");

inline constexpr double kFar = std::numeric_limits<double>::infinity();  // no return yet

// The lanes of up to kSlots points, laid out so that they load as vectors. Lane i holds its
// point's orbit: count is the escape tests it has passed (lanes/escape_test-inl.h).
struct LaneState {
  alignas(64) double zr[kSlots];
  alignas(64) double zi[kSlots];
  alignas(64) double cr[kSlots];
  alignas(64) double ci[kSlots];
  alignas(64) double checkpoint_r[kSlots];
  alignas(64) double checkpoint_i[kSlots];
  alignas(64) std::int64_t count[kSlots];            // escape tests passed; the cap once decided
  alignas(64) std::int64_t checkpoint_at[kSlots];    // count at which the next checkpoint is taken
  alignas(64) std::int64_t checkpoint_from[kSlots];  // count at which the checkpoint was taken
  alignas(64) std::int64_t running[kSlots];        // -1 while every escape test has passed, else 0
  alignas(64) std::int64_t decided_at[kSlots];     // count when a cycle or proof decided, else 0
  alignas(64) double closest[kSlots];              // closest return to the checkpoint this window
  alignas(64) std::int64_t closest_steps[kSlots];  // its steps from the checkpoint
  alignas(64) double block_zr[kSlots];             // the state where an untested block began
  alignas(64) double block_zi[kSlots];
  alignas(64) std::int64_t trap_from[kSlots];  // count at which a Taylor trap is due, 0: none
  std::int64_t trap_period[kSlots];            // the return period the last Taylor trap found
  std::int64_t proof_steps[kSlots];            // steps proofs have run for the lane's point
  std::int64_t point[kSlots];                  // index in its chunk, -1 for an idle lane
  PointChunk* chunk[kSlots];                   // nullptr for an idle lane
  bool needs_tests[kSlots];  // c is not below kUntestedBelow (lanes/untested-inl.h)
};

// A per-lane field and its value in an idle lane, both fixed at compile time, so that a loop
// over the fields compiles to plain stores. A field that a lane always writes before it reads it
// is not `cleared`: every start of a point clears a lane, and a store per field shows (centre 12
// drew 4 % faster without the three such stores).
template <auto kArray, auto kIdle, bool kCleared = true>
struct LaneField {
  static constexpr auto array = kArray;
  static constexpr auto idle = kIdle;
  static constexpr bool cleared = kCleared;
};

// Every per-lane field. An idle lane iterates z = 0, c = 0: quiet, and never finished.
using LaneFields = std::tuple<
    LaneField<&LaneState::zr, 0.0>, LaneField<&LaneState::zi, 0.0>, LaneField<&LaneState::cr, 0.0>,
    LaneField<&LaneState::ci, 0.0>, LaneField<&LaneState::checkpoint_r, 0.0>,
    LaneField<&LaneState::checkpoint_i, 0.0>, LaneField<&LaneState::count, std::int64_t{0}>,
    LaneField<&LaneState::checkpoint_at, std::int64_t{0}>,
    LaneField<&LaneState::checkpoint_from, std::int64_t{0}>,
    LaneField<&LaneState::running, std::int64_t{0}>,
    LaneField<&LaneState::decided_at, std::int64_t{0}>, LaneField<&LaneState::closest, kFar>,
    // Written with each closer return, which a proposal needs.
    LaneField<&LaneState::closest_steps, std::int64_t{0}, false>,
    // Written as each block without escape tests begins.
    LaneField<&LaneState::block_zr, 0.0, false>, LaneField<&LaneState::block_zi, 0.0, false>,
    LaneField<&LaneState::proof_steps, std::int64_t{0}>,
    LaneField<&LaneState::trap_from, std::int64_t{0}>,
    LaneField<&LaneState::trap_period, std::int64_t{0}>,
    LaneField<&LaneState::point, std::int64_t{-1}>,
    LaneField<&LaneState::chunk, static_cast<PointChunk*>(nullptr)>,
    LaneField<&LaneState::needs_tests, false>>;

template <class Visit, class... Fields>
HWY_INLINE void VisitLaneFields(Visit visit, std::tuple<Fields...>*) {
  (visit(Fields{}), ...);
}

template <class Visit>
HWY_INLINE void ForEachLaneField(Visit visit) {
  VisitLaneFields(visit, static_cast<LaneFields*>(nullptr));
}

HWY_INLINE void ClearLane(LaneState& s, int lane) {
  ForEachLaneField([&](auto field) {
    using Field = decltype(field);
    if constexpr (Field::cleared) (s.*Field::array)[lane] = Field::idle;
  });
}

// Gives every lane the idle value of the fields that clearing leaves alone, once, so that no
// lane ever holds an indeterminate value.
inline void ClearUnclearedFields(LaneState& s) {
  ForEachLaneField([&](auto field) {
    using Field = decltype(field);
    if constexpr (!Field::cleared) {
      for (auto& value : s.*Field::array) value = Field::idle;
    }
  });
}

inline void SwapLanes(LaneState& s, int a, int b) {
  ForEachLaneField([&](auto field) {
    auto& array = s.*decltype(field)::array;
    std::swap(array[a], array[b]);
  });
}

inline void MoveLane(LaneState& s, int to, int from) {
  SwapLanes(s, to, from);
  ClearLane(s, from);
}

// One vector's lanes, held in registers for a run.
template <class D>
struct Lanes {
  // Written out, so that it is compiled for this target like the code around it: an implicit
  // constructor is not, and some compilers then refuse to inline the vectors' own (arm64 GCC).
  HWY_ATTR Lanes() {}
  Doubles<D> zr, zi, cr, ci, checkpoint_r, checkpoint_i;
  Ints<D> count, checkpoint_at;
  DoubleMask<D> running;
};

template <class D>
HWY_INLINE void LoadHeld(Doubles<D>& v, const double* from) {
  v = hn::Load(D(), from);
}
template <class D>
HWY_INLINE void LoadHeld(Ints<D>& v, const std::int64_t* from) {
  v = hn::Load(IntTag<D>(), from);
}
// A mask is held in memory as a vector of all-ones (-1) and zero lanes.
template <class D>
HWY_INLINE void LoadHeld(DoubleMask<D>& m, const std::int64_t* from) {
  m = hn::RebindMask(D(), hn::MaskFromVec(hn::Load(IntTag<D>(), from)));
}
template <class D>
HWY_INLINE void StoreHeld(Doubles<D> v, double* to) {
  hn::Store(v, D(), to);
}
template <class D>
HWY_INLINE void StoreHeld(Ints<D> v, std::int64_t* to) {
  hn::Store(v, IntTag<D>(), to);
}
template <class D>
HWY_INLINE void StoreHeld(DoubleMask<D> m, std::int64_t* to) {
  const IntTag<D> di;
  hn::Store(hn::VecFromMask(di, hn::RebindMask(di, m)), di, to);
}

// The lanes o, o + 1, ... of one vector of D, each field written out: a member pointer
// taken at run time would keep the lanes out of registers.
template <class D>
HWY_INLINE Lanes<D> LoadLanes(const LaneState& s, int o) {
  Lanes<D> l;
  LoadHeld<D>(l.zr, s.zr + o);
  LoadHeld<D>(l.zi, s.zi + o);
  LoadHeld<D>(l.cr, s.cr + o);
  LoadHeld<D>(l.ci, s.ci + o);
  LoadHeld<D>(l.checkpoint_r, s.checkpoint_r + o);
  LoadHeld<D>(l.checkpoint_i, s.checkpoint_i + o);
  LoadHeld<D>(l.count, s.count + o);
  LoadHeld<D>(l.checkpoint_at, s.checkpoint_at + o);
  LoadHeld<D>(l.running, s.running + o);
  return l;
}

// c does not change in a run, and is not stored back.
template <class D>
HWY_INLINE void StoreLanes(const Lanes<D>& l, LaneState& s, int o) {
  StoreHeld<D>(l.zr, s.zr + o);
  StoreHeld<D>(l.zi, s.zi + o);
  StoreHeld<D>(l.checkpoint_r, s.checkpoint_r + o);
  StoreHeld<D>(l.checkpoint_i, s.checkpoint_i + o);
  StoreHeld<D>(l.count, s.count + o);
  StoreHeld<D>(l.checkpoint_at, s.checkpoint_at + o);
  StoreHeld<D>(l.running, s.running + o);
}

}  // namespace HWY_NAMESPACE
}  // namespace fractal::kernel_detail
HWY_AFTER_NAMESPACE();

#endif  // per-target include guard
