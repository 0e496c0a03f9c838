// The run-time services at the edges of their ranges: where rounding meets the 16-bit limits,
// where 32-bit steps overflow, colour components out of their byte, and which floating-point flags
// count as a fault.
#include "runtime/runtime.h"

#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "support/run_time_errors.h"

namespace fractal {
namespace {

using testing::ErrorRaised;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

TEST(RoundToInt16, TiesGoToEvenUpToTheEdgesOfTheRangeAndOverflowPastThem) {
  EXPECT_EQ(RoundToInt16(0.5), 0);
  EXPECT_EQ(RoundToInt16(1.5), 2);
  EXPECT_EQ(RoundToInt16(-2.5), -2);
  EXPECT_EQ(RoundToInt16(32766.5), 32766);
  EXPECT_EQ(RoundToInt16(-32768.5), -32768);  // the tie goes to the even end of the range
  for (double outside : {32767.5, -32769.0, 1e300, kInfinity, -kInfinity, kNaN}) {
    EXPECT_EQ(ErrorRaised([&] { RoundToInt16(outside); }), ErrorKind::kOverflow) << outside;
  }
}

TEST(SaturateToInt16, ClampsPastTheRangeAndRejectsNaN) {
  EXPECT_EQ(SaturateToInt16(-0.5), 0);
  EXPECT_EQ(SaturateToInt16(32767.5), 32767);
  EXPECT_EQ(SaturateToInt16(-1e300), -32768);
  EXPECT_EQ(SaturateToInt16(kInfinity), 32767);
  EXPECT_EQ(ErrorRaised([] { SaturateToInt16(kNaN); }), ErrorKind::kFloatingPoint);
}

TEST(CheckedSteps, OverflowJustPastThe32BitRange) {
  constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
  constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
  EXPECT_EQ(CheckedMultiply(16, kMax / 16), kMax - 15);
  EXPECT_EQ(CheckedMultiply(-65536, 32768), kMin);
  EXPECT_EQ(ErrorRaised([] { CheckedMultiply(65536, 32768); }), ErrorKind::kOverflow);
  EXPECT_EQ(ErrorRaised([] { CheckedMultiply(-1, kMin); }), ErrorKind::kOverflow);
  EXPECT_EQ(CheckedAdd(kMax - 1, 1), kMax);
  EXPECT_EQ(ErrorRaised([] { CheckedAdd(kMax, 1); }), ErrorKind::kOverflow);
  EXPECT_EQ(ErrorRaised([] { CheckedAdd(kMin, -1); }), ErrorKind::kOverflow);
}

TEST(BuildColour, ClampsEachComponentToItsByteInItsPlace) {
  EXPECT_EQ(BuildColour(1, 2, 3), 1 + 256 * 2 + 65536 * 3);
  EXPECT_EQ(BuildColour(-1, 256, 32767), 256 * 255 + 65536 * 255);
}

TEST(FloatingPointStatus, OnlyTheFaultFlagsRaiseTheErrorAndTheyAreCleared) {
  std::feclearexcept(FE_ALL_EXCEPT);
  std::feraiseexcept(FE_UNDERFLOW | FE_INEXACT);
  EXPECT_EQ(ErrorRaised([] { CheckFloatingPointStatus("ordinary"); }), std::nullopt);
  for (int fault : {FE_INVALID, FE_DIVBYZERO, FE_OVERFLOW}) {
    std::feraiseexcept(fault);
    EXPECT_EQ(ErrorRaised([] { CheckFloatingPointStatus("fault"); }), ErrorKind::kFloatingPoint)
        << fault;
    EXPECT_EQ(std::fetestexcept(kFloatingPointFaults), 0) << fault;
  }
  std::feclearexcept(FE_ALL_EXCEPT);
}

}  // namespace
}  // namespace fractal
