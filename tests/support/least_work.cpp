#include "support/least_work.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <thread>
#include <vector>

#include "render/kernel/escape_time.h"
#include "render/view_steps.h"

namespace fractal::testing {
namespace {

struct Z {
  double r = 0;
  double i = 0;
};

bool Same(Z a, Z b) { return a.r == b.r && a.i == b.i; }

Z Step(Z z, Z c) {
  StepOrbit(c.r, c.i, z.r, z.i);
  return z;
}

// The states of one orbit at every multiple of a stride up to the count reached, for finding the
// preperiod once the period is known without iterating the orbit again from the start. When full
// it keeps every other state and doubles the stride, so a long orbit keeps at most kKept states.
class KeptStates {
 public:
  void Reset(Z c) {
    c_ = c;
    stride_ = kFirstStride;
    kept_.assign(1, Z{});  // z_0
  }

  // The count of the next state to keep, after count n.
  std::int64_t NextAfter(std::int64_t n) const { return (n / stride_ + 1) * stride_; }

  // z at the count NextAfter gave.
  void Keep(Z z) {
    kept_.push_back(z);
    if (kept_.size() < kKept) return;
    for (std::size_t t = 0; t < kKept / 2; ++t) kept_[t] = kept_[2 * t];
    kept_.resize(kKept / 2);
    stride_ *= 2;
  }

  // z_i, for any i up to the count reached: from the kept state at or below it, under a stride
  // of steps away.
  Z At(std::int64_t i) const {
    Z z = kept_[static_cast<std::size_t>(i / stride_)];
    for (std::int64_t k = i % stride_; k > 0; --k) z = Step(z, c_);
    return z;
  }

  // The least mu with z_mu = z_{mu+lambda}, given that z_at = z_{at+lambda} (at + lambda within
  // the count reached). Equality at i implies it at i + 1, so a binary search over the kept
  // states narrows mu to within a stride, and a walk of both orbits finds it there.
  std::int64_t Preperiod(std::int64_t at, std::int64_t lambda) const {
    const auto repeats = [&](std::size_t t) {
      return Same(kept_[t], At(static_cast<std::int64_t>(t) * stride_ + lambda));
    };
    std::size_t lo = 0;
    std::size_t hi = static_cast<std::size_t>(at / stride_) + 1;
    while (lo < hi) {
      const std::size_t mid = lo + (hi - lo) / 2;
      if (repeats(mid)) {
        hi = mid;
      } else {
        lo = mid + 1;
      }
    }
    if (lo == 0) return 0;
    std::int64_t i = static_cast<std::int64_t>(lo - 1) * stride_;  // does not repeat yet
    Z a = kept_[lo - 1];
    Z b = At(i + lambda);
    for (; !Same(a, b); ++i) {
      a = Step(a, c_);
      b = Step(b, c_);
    }
    return i;
  }

 private:
  static constexpr std::int64_t kFirstStride = 64;
  static constexpr std::size_t kKept = 1024;
  Z c_;
  std::int64_t stride_ = kFirstStride;
  std::vector<Z> kept_;
};

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// One point's orbit between runs of the slots.
struct Orbit {
  bool live = false;
  std::size_t index = 0;
  Z c;
  Z z;
  std::int64_t n = 0;
  Z mark;  // the checkpoint; none (NaN, equal to nothing) before count 1
  std::int64_t mark_n = 0;
  std::int64_t next_mark = 1;
  std::int64_t next_keep = 0;
  std::int64_t brent = -1;  // Brent's loop's work, once known
  KeptStates kept;

  void Start(std::size_t at, Z point) {
    live = true;
    index = at;
    c = point;
    z = Z{};
    n = 0;
    mark = Z{kNaN, kNaN};
    mark_n = 0;
    next_mark = 1;
    brent = -1;
    kept.Reset(point);
    next_keep = kept.NextAfter(0);
  }
};

// How far an orbit runs past the cap: a repeat with mu + lambda <= cap is found by then. It is
// found at count k + lambda for the first checkpoint count k >= max(mu, lambda), and no such k
// lies beyond the first power of two at or above the cap.
std::int64_t StopOf(std::int32_t cap) {
  std::int64_t k = 1;
  while (k < cap) k *= 2;
  return k + cap;
}

// The count at which an orbit next needs attention outside the slots' run.
std::int64_t NextEvent(const Orbit& o, std::int32_t cap, std::int64_t stop) {
  return std::min({o.next_mark, o.next_keep, o.brent < 0 ? std::int64_t{cap} : stop});
}

constexpr int kSlots = 4;

// Steps every live slot's orbit `rounds` times, or fewer: the round in which some orbit's state
// escapes (tested before the step, as EscapeCount does) or its new state equals its checkpoint
// is the last, and its flags say which. The orbits are independent, so the processor overlaps
// their steps. Idle slots iterate z = 0 at c = 0 and have no checkpoint: they never stop a run.
std::int64_t RunSlots(Orbit (&slots)[kSlots], std::int64_t rounds, bool (&escaped)[kSlots],
                      bool (&repeated)[kSlots]) {
  double zr[kSlots], zi[kSlots], cr[kSlots], ci[kSlots], mr[kSlots], mi[kSlots];
  for (int k = 0; k < kSlots; ++k) {
    const Orbit& o = slots[k];
    zr[k] = o.live ? o.z.r : 0;
    zi[k] = o.live ? o.z.i : 0;
    cr[k] = o.live ? o.c.r : 0;
    ci[k] = o.live ? o.c.i : 0;
    mr[k] = o.live ? o.mark.r : kNaN;
    mi[k] = o.live ? o.mark.i : kNaN;
  }
  bool esc[kSlots] = {};
  bool rep[kSlots] = {};
  std::int64_t ran = 0;
  bool stop = false;
  while (ran < rounds && !stop) {
    // Unrolled, so that the slots' values stay in registers.
#pragma GCC unroll 8
    for (int k = 0; k < kSlots; ++k) {
      esc[k] = StepOrbit(cr[k], ci[k], zr[k], zi[k]) >= 4.0;
      rep[k] = (zr[k] == mr[k]) & (zi[k] == mi[k]);
      stop |= esc[k] | rep[k];
    }
    ++ran;
  }
  for (int k = 0; k < kSlots; ++k) {
    escaped[k] = esc[k];
    repeated[k] = rep[k];
    slots[k].z = {zr[k], zi[k]};
  }
  return ran;
}

// Takes an orbit through what happened on its way to count n: true once its work is in `out`.
bool Settle(Orbit& o, bool escaped, bool repeated, std::int32_t cap, std::int64_t stop,
            OrbitWork& out) {
  if (o.n == o.next_keep) {  // first, so that a preperiod search can reach z_n
    o.kept.Keep(o.z);
    o.next_keep = o.kept.NextAfter(o.n);
  }
  if (escaped) {  // at count n - 1; past the cap, it shows the orbit never repeats
    const std::int64_t count = std::min<std::int64_t>(o.n - 1, cap);
    out = {count, count, static_cast<std::int32_t>(count)};
    return true;
  }
  if (repeated) {
    if (o.brent < 0) o.brent = o.n;
    const std::int64_t lambda = o.n - o.mark_n;
    const std::int64_t mu = o.kept.Preperiod(o.mark_n, lambda);
    out = {std::min<std::int64_t>(mu + lambda, cap), o.brent, cap};
    return true;
  }
  if (o.n == cap && o.brent < 0) o.brent = cap;
  if (o.n == stop) {
    out = {cap, o.brent, cap};
    return true;
  }
  if (o.n == o.next_mark) {
    o.mark = o.z;
    o.mark_n = o.n;
    o.next_mark *= 2;
  }
  return false;
}

// Works through `points` from index `next` on (shared with other threads), into `out`.
void WorkThrough(std::span<const PlanePoint> points, std::int32_t cap,
                 std::atomic<std::size_t>& next, std::span<OrbitWork> out) {
  const std::int64_t stop = StopOf(cap);
  Orbit slots[kSlots];
  const auto refill = [&](Orbit& o) {
    const std::size_t at = next.fetch_add(1);
    o.live = at < points.size();
    if (o.live) o.Start(at, {points[at].real, points[at].imag});
  };
  for (Orbit& o : slots) refill(o);
  for (;;) {
    constexpr std::int64_t kNone = std::numeric_limits<std::int64_t>::max();
    std::int64_t rounds = kNone;
    for (const Orbit& o : slots) {
      if (o.live) rounds = std::min(rounds, NextEvent(o, cap, stop) - o.n);
    }
    if (rounds == kNone) return;
    bool escaped[kSlots];
    bool repeated[kSlots];
    const std::int64_t ran = RunSlots(slots, rounds, escaped, repeated);
    for (int k = 0; k < kSlots; ++k) {
      Orbit& o = slots[k];
      if (!o.live) continue;
      o.n += ran;
      if (Settle(o, escaped[k], repeated[k], cap, stop, out[o.index])) refill(o);
    }
  }
}

}  // namespace

std::vector<OrbitWork> PointsWork(std::span<const PlanePoint> points, std::int32_t cap,
                                  int threads) {
  std::vector<OrbitWork> work(points.size());
  std::atomic<std::size_t> next{0};
  std::vector<std::jthread> workers;
  for (int t = 0; t < std::max(1, threads); ++t) {
    workers.emplace_back([&] { WorkThrough(points, cap, next, work); });
  }
  workers.clear();  // joins
  return work;
}

ViewWork LeastWork(const ViewState& view, int threads) {
  const EscapeParams params = MakeEscapeParams(view);
  std::vector<PlanePoint> points;
  for (double y : RowSteps()) {
    const double c_imag = (y + params.offset_y) * params.scale;
    for (double x : ColumnSteps()) points.push_back({(x + params.offset_x) * params.scale, c_imag});
  }
  ViewWork sum;
  const std::vector<OrbitWork> work = PointsWork(points, params.cap, threads);
  const auto width = static_cast<int>(ColumnSteps().size());
  for (std::size_t i = 0; i < work.size(); ++i) {
    sum.counts.push_back(work[i].count);
    sum.least += static_cast<std::uint64_t>(work[i].least);
    sum.brent += static_cast<std::uint64_t>(work[i].brent);
    if (work[i].brent <= sum.slowest_brent) continue;
    sum.slowest_brent = work[i].brent;
    sum.slowest_row = static_cast<int>(i) / width;
    sum.slowest_column = static_cast<int>(i) % width;
  }
  return sum;
}

}  // namespace fractal::testing
