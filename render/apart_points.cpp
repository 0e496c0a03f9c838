#include "render/apart_points.h"

#include <algorithm>
#include <cmath>

namespace fractal {
namespace {

// Orbits run at least this share of the last cap to be counted first. Of the shares tried, from
// a quarter down to 1/1024, 1/256 drew dives 20 to 26 after their parent view fastest or nearly
// so, both in a trial with each point's exact-repeat work standing in for the kernel's and in
// the kernel itself.
constexpr std::int64_t kSlowShareInverse = 256;
// Below this many iterations no orbit holds a drawing up for long.
constexpr std::int64_t kSlowFrom = std::int64_t{1} << 13;
// Orbits of this many iterations count as slow whatever the cap. From about there on, the
// kernel's Taylor traps prove slow interior points soon after they are tried, so a point proven
// there ran far fewer iterations than its neighbours in the next view may need. At dive 26 (the
// last cap's 256th is 2 M), traps proved the last view's points around its slowest one (230 M
// iterations) at 1.1 to 2.1 M; without this the point was counted with the rows in 2 of 4 traced
// drawings, from 286 ms into a drawing of 1 s instead of 25 ms, and dive 26 drew in 920 to 940 ms
// (median of 5, three runs) instead of 909 to 914. Shallower views have a 256th of at most this.
constexpr std::int64_t kSlowAtMost = std::int64_t{1} << 20;
// At most this many points go first: a tenth of the view.
constexpr std::size_t kMostApart = 16384;

// The index of the step nearest `v` in `steps`, evenly spaced; -1 if `v` lies outside them.
std::int64_t NearestStep(std::span<const double> steps, double v) {
  const double spacing = (steps.back() - steps.front()) / static_cast<double>(steps.size() - 1);
  const double index = std::round((v - steps.front()) / spacing);
  if (!(index >= 0 && index < static_cast<double>(steps.size()))) return -1;
  return static_cast<std::int64_t>(index);
}

// A point of the last view whose orbit ran long, at its nearest point of the next view.
struct SlowPoint {
  std::int64_t work = 0;
  std::int64_t row = 0;
  std::int64_t column = 0;
};

// The last view's points whose orbits ran at least `slow` steps and that lie in the next view, at
// most kMostApart of them, the longest first.
std::vector<SlowPoint> SlowPoints(const EscapeParams& last, std::span<const std::int64_t> work,
                                  std::int64_t slow, const EscapeParams& next,
                                  std::span<const double> ys, std::span<const double> xs) {
  std::vector<SlowPoint> slow_points;
  for (std::size_t i = 0; i < work.size(); ++i) {
    if (work[i] < slow) continue;
    // The plane point of the last view, in the next view's coordinates.
    const double c_real = (xs[i % xs.size()] + last.offset_x) * last.scale;
    const double c_imag = (ys[i / xs.size()] + last.offset_y) * last.scale;
    const std::int64_t row = NearestStep(ys, c_imag / next.scale - next.offset_y);
    const std::int64_t column = NearestStep(xs, c_real / next.scale - next.offset_x);
    if (row >= 0 && column >= 0) slow_points.push_back({work[i], row, column});
  }
  const auto longer = [](const SlowPoint& a, const SlowPoint& b) { return a.work > b.work; };
  if (slow_points.size() > kMostApart) {
    std::nth_element(slow_points.begin(), slow_points.begin() + kMostApart, slow_points.end(),
                     longer);
    slow_points.resize(kMostApart);
  }
  std::sort(slow_points.begin(), slow_points.end(), longer);
  return slow_points;
}

}  // namespace

bool PlansApartPointsFrom(const EscapeParams& last) {
  return last.cap / kSlowShareInverse >= kSlowFrom;
}

ApartPoints PlanApartPoints(const EscapeParams& last, std::span<const std::int64_t> last_work,
                            const EscapeParams& next, std::span<const double> ys,
                            std::span<const double> xs) {
  ApartPoints plan;
  if (!PlansApartPointsFrom(last) || ys.size() < 2 || xs.size() < 2 ||
      last_work.size() != ys.size() * xs.size()) {
    return plan;
  }
  const std::int64_t slow = std::min(last.cap / kSlowShareInverse, kSlowAtMost);
  plan.apart.assign(last_work.size(), 0);
  const auto rows = static_cast<std::int64_t>(ys.size());
  const auto columns = static_cast<std::int64_t>(xs.size());
  for (const SlowPoint& point : SlowPoints(last, last_work, slow, next, ys, xs)) {
    // Its neighbours too: the next view's points lie between the last one's.
    for (std::int64_t r = std::max<std::int64_t>(point.row - 1, 0);
         r <= std::min(point.row + 1, rows - 1); ++r) {
      for (std::int64_t c = std::max<std::int64_t>(point.column - 1, 0);
           c <= std::min(point.column + 1, columns - 1); ++c) {
        if (plan.apart[r * columns + c] != 0) continue;
        plan.apart[r * columns + c] = 1;
        plan.points.push_back(static_cast<std::int32_t>(r * columns + c));
      }
    }
    if (plan.points.size() >= kMostApart) break;
  }
  return plan;
}

}  // namespace fractal
