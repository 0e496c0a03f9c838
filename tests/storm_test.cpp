// Long random runs of the viewer: thousands of pointer moves and clicks, many of them arriving
// while a drawing is under way, and a close at the end. ObservedForm compares every finished
// drawing with the reference picture of its view; these tests check the run as a whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/memory_platform.h"
#include "support/observed_form.h"
#include "support/reference_drawing.h"
#include "window/form1.h"

namespace fractal {
namespace {

using testing::CaptionsFollowRules;
using testing::MakeObservedFormFactory;
using testing::ObservedForm;
using testing::ObservedFormOf;

// Clicks of a shallow run. Each halves the view, and the drawings and reference pictures of
// views near the edge of the set grow with the cap 16 * Zoom: Debug builds with the sanitizers,
// many times slower, stop at 2^7.
#if defined(__OPTIMIZE__) && !defined(__SANITIZE_ADDRESS__)
constexpr int kShallowClicks = 8;
#else
constexpr int kShallowClicks = 7;
#endif

constexpr int kRowsPerDrawing = 400;
constexpr int kPointsPerDrawing = 400 * 400;
constexpr int kDeepestClick = 26;  // clicks from Zoom 1 to kMaxZoom
// Pumps no run reaches: events scheduled there arrive one by one whenever the viewer is idle.
constexpr int kWhenIdle = std::numeric_limits<int>::max() / 2;
constexpr int kLast = std::numeric_limits<int>::max();

// A spot whose deeper views all lie far outside the set: every point there escapes within a
// few iterations, so even the deepest drawings are quick.
constexpr PointerMoveEvent kFarCorner{0, 0, 390.0f, 10.0f};

using Rng = std::mt19937_64;

int UniformInt(Rng& rng, int low, int high) {
  return std::uniform_int_distribution<int>(low, high)(rng);
}
float UniformReal(Rng& rng, double low, double high) {
  return static_cast<float>(std::uniform_real_distribution<double>(low, high)(rng));
}
bool Chance(Rng& rng, double probability) { return std::bernoulli_distribution(probability)(rng); }

struct StormPlan {
  const char* name;
  std::uint64_t seed;
  int scheduled_moves;    // posted for random pumps before the run
  double moves_per_pump;  // posted by the pump hook, on average
  int clicks;             // posted for pumps along a chain before the run
  int hook_clicks;        // at most this many posted by the pump hook
  double nested_chance;   // that a click arrives within the drawing the one before it started
  int least_nesting;      // drawings the schedule runs one inside another, at least
  double far_chance;      // that a pointer coordinate lies off the surface
  Colour background;
  bool stay_far_right;  // the pointer never goes far left, so deep views stay far from the set
};

// A position as the window system reports one: on the surface, fractional, whole or on a
// tie; or, with `far_chance`, off it: just outside, far outside during a drag, or at the edges
// of the 16-bit offset range (the view origin is at 200).
float RandomPosition(Rng& rng, double far_chance) {
  static constexpr float kEdges[] = {32967.5f,   32967.49f, 32968.0f, -32568.5f,
                                     -32568.51f, -32568.0f, 1e6f,     -1e6f};
  if (Chance(rng, far_chance)) {
    switch (UniformInt(rng, 0, 2)) {
      case 0:
        return UniformReal(rng, -3000, 3400);
      case 1:
        return (Chance(rng, 0.5) ? 1.0f : -1.0f) * UniformReal(rng, 3e4, 1e6);
      default:
        return kEdges[UniformInt(rng, 0, std::size(kEdges) - 1)];
    }
  }
  switch (UniformInt(rng, 0, 2)) {
    case 0:
      return UniformReal(rng, 0, 400);
    case 1:
      return static_cast<float>(UniformInt(rng, 0, 399)) + 0.5f;
    default:
      return static_cast<float>(UniformInt(rng, 0, 399));
  }
}

PointerMoveEvent RandomMove(Rng& rng, const StormPlan& plan) {
  PointerMoveEvent move;
  move.button = static_cast<std::int16_t>(UniformInt(rng, 0, 7));
  move.shift = static_cast<std::int16_t>(UniformInt(rng, 0, 7));
  move.x = RandomPosition(rng, plan.far_chance);
  move.y = RandomPosition(rng, plan.far_chance);
  if (plan.stay_far_right && move.x < -1000) move.x = -move.x;
  return move;
}

// The pumps of the scheduled clicks. Up to one drawing's rows later (0: the same pump) the
// next click interrupts the drawing this one starts; a click for a pump the run never reaches
// arrives when the viewer is idle.
std::vector<int> ClickPumps(const StormPlan& plan, Rng& rng) {
  std::vector<int> pumps;
  int pump = UniformInt(rng, 1, kRowsPerDrawing);
  for (int i = 0; i < plan.clicks; ++i) {
    pumps.push_back(pump);
    pump += Chance(rng, plan.nested_chance) ? UniformInt(rng, 0, kRowsPerDrawing)
                                            : UniformInt(rng, kRowsPerDrawing + 1, 1200);
  }
  return pumps;
}

void ScheduleStorm(MemoryPlatform& platform, const StormPlan& plan,
                   const std::vector<int>& click_pumps, Rng& rng) {
  if (plan.stay_far_right) {
    // Pending from the start, so it comes before any click: the first zoom goes 327 units
    // right of the set.
    platform.Post(PointerMoveEvent{0, 0, 1e6f, 200.0f});
  }
  // Clicks first: a move scheduled for the same pump arrives after the click.
  for (int pump : click_pumps) platform.PostAtPump(pump, ClickEvent{});
  // Every run draws at least 400 rows; a few more moves arrive after the last click.
  for (int i = 0; i < plan.scheduled_moves; ++i) {
    platform.PostAtPump(UniformInt(rng, 1, kRowsPerDrawing), RandomMove(rng, plan));
  }
  for (int i = 0; i < 20; ++i) platform.PostAtPump(kWhenIdle + i, RandomMove(rng, plan));
  platform.PostAtPump(kLast, CloseEvent{});
}

// Runs as each pump begins: checks the caption, posts random moves and clicks of its own, and
// aims clicks at detail of the picture so far (a click zooms where the pointer last was), so
// that the views they open show more than one colour.
class StormHook {
 public:
  StormHook(MemoryPlatform& platform, const StormPlan& plan, const std::vector<int>& click_pumps,
            Rng& rng)
      : platform_(platform),
        plan_(plan),
        click_pumps_(click_pumps.begin(), click_pumps.end()),
        rng_(rng),
        next_click_(UniformInt(rng, 1, kRowsPerDrawing)) {}

  void OnPump(int pump) {
    // Only a drawing pumps, and a drawing under way shows "Drawing...".
    if (platform_.Captions().back() != "Drawing...") ++pumps_not_drawing;
    if (platform_.Captions().size() != captions_) {
      captions_ = platform_.Captions().size();
      drawing_began_ = pump;
      // A drawing begun when the viewer was idle, after the previous one finished.
      const bool from_idle = captions_ >= 2 && platform_.Captions()[captions_ - 2] == "Ready.";
      if (click_in_next_drawing_ && from_idle) {
        next_click_ = pump + UniformInt(rng_, 0, kRowsPerDrawing - 1);
        click_in_next_drawing_ = false;
      }
    }
    const int random_moves = std::poisson_distribution<int>(plan_.moves_per_pump)(rng_);
    for (int i = 0; i < random_moves; ++i) Post(RandomMove(rng_, plan_));
    // Moves posted here arrive before the scheduled click of this pump.
    const bool click_due = click_pumps_.count(pump) > 0;
    const bool last_row = pump - drawing_began_ + 1 == kRowsPerDrawing;
    if (clicks < plan_.hook_clicks && !click_in_next_drawing_ && pump >= next_click_) {
      AimAtDetail();
      platform_.Post(ClickEvent{});
      ++clicks;
      // Within the drawing this click starts, or within one begun when the viewer is idle.
      next_click_ = pump + UniformInt(rng_, 0, kRowsPerDrawing);
      click_in_next_drawing_ = !Chance(rng_, plan_.nested_chance);
    } else if ((click_due || last_row) && Chance(rng_, 0.9)) {
      AimAtDetail();  // at the last row, for a click when idle
    }
  }

  int clicks = 0;
  int moves = 0;
  int pumps_not_drawing = 0;

 private:
  // Moves to the point, among a few random pixels of the current view, that takes longest to
  // escape while escaping early enough: near the edge of the set, where the detail is, but not
  // so near that the view is mostly set, whose points cost the whole cap.
  void AimAtDetail() {
    if (plan_.stay_far_right) return;
    const ViewState& view = testing::ObservedFormOf(platform_).Viewer().View();
    int best_count = -1;
    PointerMoveEvent aim;
    for (int attempt = 0; attempt < 32; ++attempt) {
      const int column = UniformInt(rng_, 0, 399);
      const int row = UniformInt(rng_, 0, 399);
      const int count = testing::ReferenceCount(view, (column - view.CenterX) / 100.0,
                                                (row - view.CenterY) / 100.0);
      if (count >= std::max(view.Zoom, 15) || count <= best_count) continue;
      best_count = count;
      aim = {0, 0, static_cast<float>(column) + UniformReal(rng_, -0.49, 0.49),
             static_cast<float>(row) + UniformReal(rng_, -0.49, 0.49)};
    }
    if (best_count >= 0) Post(aim);
  }

  void Post(const PointerMoveEvent& move) {
    platform_.Post(move);
    ++moves;
  }

  MemoryPlatform& platform_;
  const StormPlan& plan_;
  const std::set<int> click_pumps_;
  Rng& rng_;
  int next_click_;
  bool click_in_next_drawing_ = false;  // begun when idle, rather than at next_click_
  std::size_t captions_ = 0;
  int drawing_began_ = 0;
};

struct StormOutcome {
  RunResult result;
  int hook_clicks = 0;
  int moves = 0;  // posted, counting every kind
  int pumps_not_drawing = 0;
};

StormOutcome RunStorm(MemoryPlatform& platform, const FormDesign& design, const StormPlan& plan) {
  Rng rng(plan.seed);
  const std::vector<int> click_pumps = ClickPumps(plan, rng);
  ScheduleStorm(platform, plan, click_pumps, rng);
  StormHook hook(platform, plan, click_pumps, rng);
  platform.OnPump([&hook](int pump) { hook.OnPump(pump); });
  const RunResult result = platform.Run(MakeObservedFormFactory(design));
  const int moves = plan.scheduled_moves + 20 + hook.moves + (plan.stay_far_right ? 1 : 0);
  return {result, hook.clicks, moves, hook.pumps_not_drawing};
}

std::int32_t ZoomAfterClicks(int clicks) {
  return std::int32_t{1} << std::min(clicks, kDeepestClick);
}

long CountOf(const std::vector<std::string>& captions, const char* caption) {
  return std::count(captions.begin(), captions.end(), caption);
}

void PrintTo(const StormPlan& plan, std::ostream* out) {
  *out << plan.name << " (seed " << plan.seed << ")";
}

class Storm : public ::testing::TestWithParam<StormPlan> {};

TEST_P(Storm, EveryFinishedDrawingShowsItsViewAndTheCloseEndsTheRun) {
  const StormPlan& plan = GetParam();
  const FormDesign design{"Form1", 400, 400, plan.background};
  MemoryPlatform platform(design);
  const StormOutcome outcome = RunStorm(platform, design, plan);

  EXPECT_TRUE(outcome.result.ended);
  EXPECT_EQ(outcome.result.status, 0);
  EXPECT_TRUE(platform.Messages().empty()) << platform.Messages().front();
  EXPECT_TRUE(platform.Unloaded());
  EXPECT_EQ(outcome.pumps_not_drawing, 0);

  const ObservedForm& form = ObservedFormOf(platform);
  EXPECT_EQ(form.FailedChecks(), 0);
  const int clicks = plan.clicks + outcome.hook_clicks;
  EXPECT_EQ(form.Clicks(), clicks);
  EXPECT_EQ(form.Moves(), outcome.moves);
  EXPECT_EQ(form.Viewer().View().Zoom, ZoomAfterClicks(clicks));
  EXPECT_GE(form.DeepestNesting(), plan.least_nesting);

  const std::vector<std::string>& captions = platform.Captions();
  EXPECT_TRUE(CaptionsFollowRules(captions));
  EXPECT_EQ(CountOf(captions, "Drawing..."), 1 + std::min(clicks, kDeepestClick));
  EXPECT_EQ(CountOf(captions, "Ready."), form.DrawingsFinished());
  EXPECT_EQ(form.PicturesChecked(), form.DrawingsFinished());
  EXPECT_GE(form.PicturesChecked(), 1);
  // Near the set, where the clicks aim, at least one finished picture had detail to compare.
  if (!plan.stay_far_right) {
    EXPECT_GE(form.MostColours(), 20);
  }

  // What the run went through, for the log.
  std::printf(
      "%d clicks, %d moves, %d pumps, %d drawings finished, %d deep, Zoom %d, "
      "up to %d colours\n",
      clicks, form.Moves(), platform.Pumps(), form.DrawingsFinished(), form.DeepestNesting(),
      static_cast<int>(form.Viewer().View().Zoom), form.MostColours());
}

// The deep run goes past the deepest zoom, far from the set.
const StormPlan kPlans[] = {
    {"Sparse", 11, 300, 1.0, kShallowClicks - 2, 2, 0.2, 1, 0.1, 0, false},
    {"Nested", 12, 300, 1.0, kShallowClicks - 4, 4, 0.6, 3, 0.05, 0, false},
    {"NestedOnGrey", 13, 300, 1.0, 3, kShallowClicks - 3, 0.7, 3, 0.05, 0x404040, false},
    {"AllClicksNested", 24, 300, 1.0, kShallowClicks - 3, 3, 1.0, 4, 0.05, 0x0000ff, false},
    {"ManyMoves", 15, 2000, 3.0, kShallowClicks - 3, 3, 0.5, 2, 0.15, 0, false},
    {"SparseOnRed", 21, 300, 1.0, kShallowClicks - 1, 1, 0.3, 1, 0.1, 0xff0000, false},
    {"NestedFarMoves", 22, 300, 2.0, kShallowClicks - 4, 4, 0.6, 3, 0.3, 0, false},
    {"DeepPastTheLimit", 16, 300, 1.0, 30, 6, 0.7, 5, 0.3, 0x00ff00, true},
};

INSTANTIATE_TEST_SUITE_P(Seeds, Storm, ::testing::ValuesIn(kPlans),
                         [](const auto& info) { return std::string(info.param.name); });

// Posts a move to kFarCorner, then `clicks` clicks, all to arrive when the viewer is idle, then
// a move and the close.
void ScheduleClicksWhenIdle(MemoryPlatform& platform, int clicks, PointerMoveEvent last_move) {
  int pump = kWhenIdle;
  platform.PostAtPump(pump++, kFarCorner);
  for (int i = 0; i < clicks; ++i) platform.PostAtPump(pump++, ClickEvent{});
  platform.PostAtPump(pump++, last_move);
  platform.PostAtPump(pump, CloseEvent{});
}

TEST(ZoomLimit, FortyClicksAtOneSpotStopAtTheDeepestZoomAndTheViewerStillAnswers) {
  MemoryPlatform platform(kForm1Design);
  ScheduleClicksWhenIdle(platform, 40, {0, 0, 123.25f, 321.75f});
  const RunResult result = platform.Run(MakeObservedFormFactory(kForm1Design));

  EXPECT_TRUE(result.ended);
  EXPECT_EQ(result.status, 0);
  const ObservedForm& form = ObservedFormOf(platform);
  EXPECT_EQ(form.FailedChecks(), 0);
  EXPECT_EQ(form.Clicks(), 40);
  EXPECT_EQ(form.Viewer().View().Zoom, kMaxZoom);
  // The move after the last click still reached the view.
  EXPECT_EQ(form.Viewer().View().PointerDX, -77);
  EXPECT_EQ(form.Viewer().View().PointerDY, 122);
  // The first drawing and one per click up to 2^26; the 14 clicks after that drew nothing.
  const int drawings = 1 + kDeepestClick;
  EXPECT_EQ(platform.Captions().size(), 1u + 2 * drawings);
  EXPECT_TRUE(CaptionsFollowRules(platform.Captions()));
  EXPECT_EQ(platform.Pumps(), kRowsPerDrawing * drawings);
  EXPECT_EQ(platform.PointsSet().size(), std::size_t{kPointsPerDrawing} * drawings);
  EXPECT_EQ(form.PicturesChecked(), drawings);
  EXPECT_TRUE(platform.Unloaded());
}

TEST(ZoomLimit, ClicksQueuedDuringADrawingNestUntilTheDeepestZoom) {
  // All 40 clicks are pending at the first pump. Each click's drawing takes the next one at its
  // own first pump, 26 deep; the clicks left over find the deepest zoom and change nothing.
  MemoryPlatform platform(kForm1Design);
  platform.PostAtPump(1, kFarCorner);
  for (int i = 0; i < 40; ++i) platform.PostAtPump(1, ClickEvent{});
  platform.PostAtPump(kLast, CloseEvent{});
  const RunResult result = platform.Run(MakeObservedFormFactory(kForm1Design));

  EXPECT_TRUE(result.ended);
  EXPECT_EQ(result.status, 0);
  const ObservedForm& form = ObservedFormOf(platform);
  EXPECT_EQ(form.FailedChecks(), 0);
  EXPECT_EQ(form.DeepestNesting(), 1 + kDeepestClick);
  EXPECT_EQ(form.Viewer().View().Zoom, kMaxZoom);
  // 27 drawings begun, only the innermost finished; the others drew one row each.
  std::vector<std::string> expected(1 + 1 + kDeepestClick, "Drawing...");
  expected.front() = "Form1";
  expected.push_back("Ready.");
  EXPECT_EQ(platform.Captions(), expected);
  EXPECT_EQ(platform.Pumps(), kDeepestClick + kRowsPerDrawing);
  EXPECT_EQ(form.PicturesChecked(), 1);
}

TEST(Close, DuringNestedDrawingsEndsTheRunAtOnce) {
  MemoryPlatform platform(kForm1Design);
  platform.PostAtPump(1, kFarCorner);
  for (int pump : {50, 100, 150}) platform.PostAtPump(pump, ClickEvent{});
  platform.PostAtPump(200, CloseEvent{});
  platform.PostAtPump(300, ClickEvent{});
  platform.PostAtPump(kWhenIdle, ClickEvent{});
  const RunResult result = platform.Run(MakeObservedFormFactory(kForm1Design));

  EXPECT_TRUE(result.ended);
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(platform.Unloaded());
  const ObservedForm& form = ObservedFormOf(platform);
  EXPECT_EQ(form.FailedChecks(), 0);
  EXPECT_EQ(form.Clicks(), 3);
  EXPECT_EQ(form.DeepestNesting(), 4);
  // Four drawings were under way, each 50 rows in; none of them resumed after the close.
  EXPECT_EQ(platform.Captions(), (std::vector<std::string>{"Form1", "Drawing...", "Drawing...",
                                                           "Drawing...", "Drawing..."}));
  EXPECT_EQ(form.CaptionsAtClose(), 5);
  EXPECT_EQ(platform.Pumps(), 200);
  EXPECT_EQ(platform.PointsSet().size(), 200u * 400);
}

}  // namespace
}  // namespace fractal
