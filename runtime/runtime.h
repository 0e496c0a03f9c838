// Run-time services: checked integer steps, rounding, the power routine, colour building, and
// the run-time errors that end the process.
#pragma once

#include <cfenv>
#include <cfloat>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "runtime/colour.h"

// The picture must come out bit-identical everywhere: double precision evaluated as written.
#if defined(__FAST_MATH__)
#error "build without -ffast-math: the picture depends on exact IEEE arithmetic"
#endif
static_assert(FLT_EVAL_METHOD == 0, "doubles must be evaluated in double precision (no x87)");

namespace fractal {

enum class ErrorKind { kOverflow, kFloatingPoint, kFailedCall };

// A run-time error. Nothing in the viewer handles it: it unwinds to the platform's start
// routine, which reports it and ends the process.
class RuntimeError : public std::runtime_error {
 public:
  RuntimeError(ErrorKind kind, std::string_view what);
  ErrorKind kind() const { return kind_; }

 private:
  ErrorKind kind_;
};

[[noreturn]] void RaiseOverflowError(std::string_view what);
[[noreturn]] void RaiseFloatingPointError(std::string_view what);
[[noreturn]] void RaiseFailedCallError(std::string_view what);

// Raises the failed-call error unless a window call reported success.
inline void RequireCall(bool succeeded, std::string_view call) {
  if (!succeeded) RaiseFailedCallError(call);
}

// The text shown to the user for an error.
std::string DescribeError(const RuntimeError& error);

// 32-bit steps with overflow detected.
std::int32_t CheckedMultiply(std::int32_t a, std::int32_t b);
std::int32_t CheckedAdd(std::int32_t a, std::int32_t b);

// Nearest 16-bit integer, ties to even; the overflow error outside the 16-bit range.
std::int16_t RoundToInt16(double value);
// Nearest 16-bit integer, ties to even, clamped to the 16-bit range.
std::int16_t SaturateToInt16(double value);

// base ** exponent. A square is the correctly rounded product, independent of the C library.
double Power(double base, double exponent);

// red + 256 * green + 65536 * blue, each component clamped to 0..255.
Colour BuildColour(std::int16_t red, std::int16_t green, std::int16_t blue);

// The floating-point flags that count as a fault: an invalid operation, a division by zero or an
// overflow. Underflow and inexact results are part of ordinary arithmetic.
inline constexpr int kFloatingPointFaults = FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW;

// Raises the floating-point error if an invalid operation, a division by zero or an overflow
// has been flagged on this thread since the flags were last cleared; clears them.
void CheckFloatingPointStatus(std::string_view what);
void ClearFloatingPointStatus();

}  // namespace fractal
