// The run-time error a call raised, for tests of calls that end the process in the viewer.
#pragma once

#include <functional>
#include <optional>

#include "runtime/runtime.h"

namespace fractal::testing {

// The kind of run-time error `call` raised; nullopt if it returned.
inline std::optional<ErrorKind> ErrorRaised(const std::function<void()>& call) {
  try {
    call();
  } catch (const RuntimeError& error) {
    return error.kind();
  }
  return std::nullopt;
}

}  // namespace fractal::testing
