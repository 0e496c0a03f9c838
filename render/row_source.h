// Where a drawing gets the iteration counts of its rows.
//
// A drawing begins a view, then asks for its rows in order. A source may compute a row when it
// is asked for, or ahead of time; either way the counts are the same.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <vector>

#include "render/kernel/escape_time.h"

namespace fractal {

struct RowCounts {
  std::span<const std::int32_t> counts;  // one per column, left to right
  bool floating_point_fault = false;     // an invalid operation, division by zero or overflow
};

class RowSource {
 public:
  virtual ~RowSource() = default;
  // Starts a new view. The rows of any earlier view are dropped.
  virtual void Begin(const EscapeParams& params) = 0;
  // Waits up to `timeout` for row `row` (0 = the first row drawn) of the current view.
  virtual bool WaitForRow(int row, std::chrono::milliseconds timeout) = 0;
  // The row's counts, once WaitForRow has returned true. Valid until the next Begin.
  virtual RowCounts Row(int row) = 0;
};

// Computes each row on the calling thread when it is asked for.
class SerialRowSource final : public RowSource {
 public:
  void Begin(const EscapeParams& params) override;
  bool WaitForRow(int row, std::chrono::milliseconds timeout) override;
  RowCounts Row(int row) override;

 private:
  EscapeParams params_;
  std::vector<std::int32_t> counts_;
};

}  // namespace fractal
