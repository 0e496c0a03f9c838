#include "runtime/runtime.h"

#include <cfenv>
#include <cmath>
#include <limits>

namespace fractal {

RuntimeError::RuntimeError(ErrorKind kind, std::string_view what)
    : std::runtime_error(std::string(what)), kind_(kind) {}

void RaiseOverflowError(std::string_view what) { throw RuntimeError(ErrorKind::kOverflow, what); }

void RaiseFloatingPointError(std::string_view what) {
  throw RuntimeError(ErrorKind::kFloatingPoint, what);
}

void RaiseFailedCallError(std::string_view what) {
  throw RuntimeError(ErrorKind::kFailedCall, what);
}

std::string DescribeError(const RuntimeError& error) {
  switch (error.kind()) {
    case ErrorKind::kOverflow:
      return std::string("Overflow: ") + error.what();
    case ErrorKind::kFloatingPoint:
      return std::string("Floating-point error: ") + error.what();
    case ErrorKind::kFailedCall:
      return std::string("A window-system call failed: ") + error.what();
  }
  return error.what();
}

std::int32_t CheckedMultiply(std::int32_t a, std::int32_t b) {
  std::int32_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) RaiseOverflowError("32-bit product");
  return product;
}

std::int32_t CheckedAdd(std::int32_t a, std::int32_t b) {
  std::int32_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) RaiseOverflowError("32-bit sum");
  return sum;
}

namespace {

constexpr double kInt16Min = std::numeric_limits<std::int16_t>::min();
constexpr double kInt16Max = std::numeric_limits<std::int16_t>::max();

// The default rounding mode is to nearest, ties to even; nearbyint honours it without raising
// the inexact flag.
double RoundTiesToEven(double value) { return std::nearbyint(value); }

}  // namespace

std::int16_t RoundToInt16(double value) {
  const double rounded = RoundTiesToEven(value);
  if (!(rounded >= kInt16Min && rounded <= kInt16Max)) RaiseOverflowError("16-bit rounding");
  return static_cast<std::int16_t>(rounded);
}

std::int16_t SaturateToInt16(double value) {
  if (std::isnan(value)) RaiseFloatingPointError("rounding a value that is not a number");
  const double rounded = RoundTiesToEven(value);
  if (rounded < kInt16Min) return std::numeric_limits<std::int16_t>::min();
  if (rounded > kInt16Max) return std::numeric_limits<std::int16_t>::max();
  return static_cast<std::int16_t>(rounded);
}

double Power(double base, double exponent) {
  // The C library's pow(x, 2.0) is not correctly rounded everywhere; the product is.
  if (exponent == 2.0) return base * base;
  return std::pow(base, exponent);
}

Colour BuildColour(std::int16_t red, std::int16_t green, std::int16_t blue) {
  auto component = [](std::int16_t value) -> Colour {
    if (value < 0) return 0;
    return value > 255 ? 255 : value;
  };
  return component(red) + 256 * component(green) + 65536 * component(blue);
}

void ClearFloatingPointStatus() { std::feclearexcept(kFloatingPointFaults); }

void CheckFloatingPointStatus(std::string_view what) {
  // Clearing costs several times as much as testing, and only a fault leaves anything to clear.
  if (std::fetestexcept(kFloatingPointFaults) == 0) return;
  ClearFloatingPointStatus();
  RaiseFloatingPointError(what);
}

}  // namespace fractal
