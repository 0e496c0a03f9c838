// Window-system calls that fail: each ends the run with the failed-call error, reported in a
// message box, and nothing the interrupted drawing would have done afterwards happens.
#include <gtest/gtest.h>

#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "platform/memory_platform.h"
#include "render/view_steps.h"
#include "support/reference_drawing.h"
#include "window/form1.h"

namespace fractal {
namespace {

constexpr int kPointsPerDrawing = 400 * 400;
constexpr int kWhenIdle = std::numeric_limits<int>::max() / 2;

const std::vector<std::string> kBeforeDrawing{"Form1"};
const std::vector<std::string> kInFirstDrawing{"Form1", "Drawing..."};
const std::vector<std::string> kAfterFirstDrawing{"Form1", "Drawing...", "Ready."};
const std::vector<std::string> kInSecondDrawing{"Form1", "Drawing...", "Ready.", "Drawing..."};
const std::vector<std::string> kAfterSecondDrawing{"Form1", "Drawing...", "Ready.", "Drawing...",
                                                   "Ready."};

// Points of the first drawing that reach the iteration cap and so show the background: the
// ones that read the background colour.
int BackgroundPointsOfFirstDrawing() {
  const ViewState view = testing::InitialView();
  int points = 0;
  for (double y : RowSteps()) {
    for (double x : ColumnSteps()) points += testing::ReferenceCount(view, x, y) == 16;
  }
  return points;
}

// The run every case starts from: the first drawing with a pointer move during it, then a
// click when idle, whose drawing (Zoom 2, about c = 0.5) has points in the set, then a close.
void ScheduleTwoDrawingsAndClose(MemoryPlatform& platform) {
  platform.PostAtPump(100, PointerMoveEvent{0, 0, 250.0f, 200.0f});
  platform.PostAtPump(kWhenIdle, ClickEvent{});
  platform.PostAtPump(kWhenIdle + 1, CloseEvent{});
}

struct FaultCase {
  const char* name;
  WindowCall call;
  int nth;
  const char* call_named;                    // how the message names the call
  const std::vector<std::string>* captions;  // every caption of the run
};

std::vector<FaultCase> FaultCases() {
  const int second_drawing_background = BackgroundPointsOfFirstDrawing() + 1000;
  return {
      {"FirstCaption", WindowCall::kSetCaption, 1, "set the caption", &kBeforeDrawing},
      {"SecondCaption", WindowCall::kSetCaption, 2, "set the caption", &kInFirstDrawing},
      {"ThirdCaption", WindowCall::kSetCaption, 3, "set the caption", &kAfterFirstDrawing},
      {"FourthCaption", WindowCall::kSetCaption, 4, "set the caption", &kInSecondDrawing},
      {"FirstBackColour", WindowCall::kReadBackColour, 1, "read the background colour",
       &kInFirstDrawing},
      {"BackColourInSecondDrawing", WindowCall::kReadBackColour, second_drawing_background,
       "read the background colour", &kInSecondDrawing},
      {"Width", WindowCall::kReadWidth, 1, "read the surface width", &kBeforeDrawing},
      {"Height", WindowCall::kReadHeight, 1, "read the surface height", &kBeforeDrawing},
      {"Show", WindowCall::kShow, 1, "show the window", &kBeforeDrawing},
      {"FirstPoint", WindowCall::kSetPoint, 1, "set a point", &kInFirstDrawing},
      {"Point5000", WindowCall::kSetPoint, 5000, "set a point", &kInFirstDrawing},
      {"Point5000OfSecondDrawing", WindowCall::kSetPoint, kPointsPerDrawing + 5000, "set a point",
       &kInSecondDrawing},
      {"Unload", WindowCall::kUnload, 1, "unload the window", &kAfterSecondDrawing},
  };
}

void PrintTo(const FaultCase& fault, std::ostream* out) {
  *out << fault.name << " (call " << fault.nth << ")";
}

class FailingCall : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FailingCall, EndsTheRunWithAMessageAndNoLaterCaption) {
  const FaultCase& fault = GetParam();
  MemoryPlatform platform(kForm1Design);
  ScheduleTwoDrawingsAndClose(platform);
  platform.FailCall(fault.call, fault.nth);
  const RunResult result = platform.Run(MakeForm1Factory());

  EXPECT_TRUE(result.ended);
  EXPECT_EQ(result.status, 1);
  ASSERT_EQ(platform.Messages().size(), 1u);
  EXPECT_NE(platform.Messages().front().find("failed"), std::string::npos);
  EXPECT_NE(platform.Messages().front().find(fault.call_named), std::string::npos)
      << platform.Messages().front();
  EXPECT_EQ(platform.Captions(), *fault.captions);
  EXPECT_FALSE(platform.Unloaded());
}

INSTANTIATE_TEST_SUITE_P(Calls, FailingCall, ::testing::ValuesIn(FaultCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FailingPoint, StopsTheDrawingAtThatPoint) {
  MemoryPlatform platform(kForm1Design);
  ScheduleTwoDrawingsAndClose(platform);
  platform.FailCall(WindowCall::kSetPoint, 5000);
  platform.Run(MakeForm1Factory());
  // Point 5000 is in row 12: twelve rows were drawn and pumped, and none of the points after
  // the failing one was set.
  EXPECT_EQ(platform.PointsSet().size(), 4999u);
  EXPECT_EQ(platform.Pumps(), 12);
}

TEST(FailingPoint, InANestedDrawingEndsTheRunWithoutResumingTheOuterOne) {
  MemoryPlatform platform(kForm1Design);
  platform.PostAtPump(100, ClickEvent{});
  platform.PostAtPump(kWhenIdle, CloseEvent{});
  // The click's drawing begins after 100 rows of the first; its point 5000 fails.
  platform.FailCall(WindowCall::kSetPoint, 100 * 400 + 5000);
  const RunResult result = platform.Run(MakeForm1Factory());

  EXPECT_TRUE(result.ended);
  EXPECT_EQ(result.status, 1);
  ASSERT_EQ(platform.Messages().size(), 1u);
  EXPECT_NE(platform.Messages().front().find("set a point"), std::string::npos);
  EXPECT_EQ(platform.Captions(), (std::vector<std::string>{"Form1", "Drawing...", "Drawing..."}));
  EXPECT_EQ(platform.Pumps(), 112);
  EXPECT_FALSE(platform.Unloaded());
}

TEST(FailingCaption, OfANestedDrawingEndsTheRunBeforeItDrawsAnything) {
  MemoryPlatform platform(kForm1Design);
  platform.PostAtPump(100, ClickEvent{});
  platform.FailCall(WindowCall::kSetCaption, 2);
  const RunResult result = platform.Run(MakeForm1Factory());

  EXPECT_TRUE(result.ended);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(platform.Messages().size(), 1u);
  EXPECT_EQ(platform.Captions(), kInFirstDrawing);
  EXPECT_EQ(platform.PointsSet().size(), 100u * 400);
  EXPECT_EQ(platform.Pumps(), 100);
}

}  // namespace
}  // namespace fractal
