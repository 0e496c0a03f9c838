// The in-memory window's surface: points set many at a time land where the same points set one
// by one land, whatever heights follow one another in a call. The event queue both windows'
// events wait in.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/event_queue.h"
#include "platform/memory_platform.h"

namespace fractal {
namespace {

constexpr FormDesign kSmall{"Form1", 8, 6, 7};

TEST(MemoryPlatformSurface, SetPointsPaintsAsSetPointDoesForAnyMixOfHeights) {
  // Heights change within the call, leave the surface and come back, repeat an earlier row,
  // round (ties to even) and include -0; columns go off either edge.
  const std::vector<SurfacePoint> points{
      {0, 2, 1},     {1, 2, 2},     {9, 2, 3},     {2, 6, 4},     {3, 6, 5},     {4, 2, 6},
      {5, -1, 7},    {-1, 3, 8},    {6, 3, 9},     {1, 2.5f, 10}, {2, 3.5f, 11}, {3, -0.0f, 12},
      {7, 0.0f, 13}, {2.5f, 1, 14}, {7.6f, 1, 15}, {0, 5.4f, 16}, {1, 5.6f, 17}, {2, 2, 18}};
  MemoryPlatform together(kSmall);
  MemoryPlatform one_by_one(kSmall);
  ASSERT_EQ(together.SetPoints(points), points.size());
  for (const SurfacePoint& point : points) ASSERT_TRUE(one_by_one.SetPoint(point));
  const auto expected = one_by_one.Surface();
  const auto surface = together.Surface();
  ASSERT_EQ(surface.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(surface[i], expected[i]) << i;
  // A few of the cases, so that the comparison above is known to cover them.
  EXPECT_EQ(together.Pixel(2, 2), 18);  // the row came back
  EXPECT_EQ(together.Pixel(1, 2), 10);  // 2.5 rounds to row 2
  EXPECT_EQ(together.Pixel(2, 4), 11);  // 3.5 rounds to row 4
  EXPECT_EQ(together.Pixel(3, 0), 12);
  EXPECT_EQ(together.Pixel(2, 1), 14);                 // column 2.5 rounds to 2
  EXPECT_EQ(together.Pixel(1, 5), kSmall.background);  // row 5.6 rounds off the surface
  EXPECT_EQ(together.Pixel(0, 5), 16);
}

TEST(MemoryPlatformSurface, SetPointsStopsAtAFailingPointAndPaintsOnlyThoseBefore) {
  const std::vector<SurfacePoint> points{{0, 0, 1}, {1, 0, 2}, {2, 1, 3}, {3, 1, 4}};
  MemoryPlatform platform(kSmall);
  platform.FailCall(WindowCall::kSetPoint, 3);
  EXPECT_EQ(platform.SetPoints(points), 2u);
  EXPECT_EQ(platform.Pixel(1, 0), 2);
  EXPECT_EQ(platform.Pixel(2, 1), kSmall.background);
  EXPECT_EQ(platform.Pixel(3, 1), kSmall.background);
}

std::string Describe(const FormEvent& event) {
  if (const auto* move = std::get_if<PointerMoveEvent>(&event)) {
    return "move " + std::to_string(move->button) + " " + std::to_string(move->shift) + " " +
           std::to_string(static_cast<int>(move->x)) + "," +
           std::to_string(static_cast<int>(move->y));
  }
  return std::holds_alternative<ClickEvent>(event) ? "click" : "close";
}

std::vector<std::string> Drain(EventQueue& queue) {
  std::vector<std::string> events;
  while (const std::optional<FormEvent> event = queue.Pop()) events.push_back(Describe(*event));
  return events;
}

TEST(EventQueue, MovesFoldIntoTheLastOfARunAndNoneCrossesAClickOrAClose) {
  EventQueue queue;
  for (const FormEvent& event : std::vector<FormEvent>{
           PointerMoveEvent{0, 0, 1, 1}, PointerMoveEvent{1, 0, 2, 2}, ClickEvent{}, ClickEvent{},
           PointerMoveEvent{0, 0, 3, 3}, PointerMoveEvent{0, 0, 4, 4}, PointerMoveEvent{0, 2, 5, 5},
           CloseEvent{}, PointerMoveEvent{0, 0, 6, 6}}) {
    queue.Push(event);
  }
  EXPECT_EQ(Drain(queue), (std::vector<std::string>{"move 1 0 2,2", "click", "click",
                                                    "move 0 2 5,5", "close", "move 0 0 6,6"}));
  // Once the queue has given up its last move, a new move starts a new entry.
  queue.Push(PointerMoveEvent{0, 0, 7, 7});
  queue.Push(ClickEvent{});
  EXPECT_EQ(Drain(queue), (std::vector<std::string>{"move 0 0 7,7", "click"}));
}

TEST(EventQueue, AFloodOfMovesTakesOneEntry) {
  EventQueue queue;
  for (int i = 0; i < 1'000'000; ++i) {
    queue.Push(PointerMoveEvent{0, 0, static_cast<float>(i % 400), static_cast<float>(i / 400)});
  }
  EXPECT_EQ(queue.size(), 1u);
  EXPECT_EQ(Drain(queue), (std::vector<std::string>{"move 0 0 399,2499"}));
  EXPECT_TRUE(queue.empty());
}

}  // namespace
}  // namespace fractal
