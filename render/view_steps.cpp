#include "render/view_steps.h"

#include <vector>

namespace fractal {
namespace {

std::vector<double> Accumulate(double start, double step, bool downward) {
  std::vector<double> steps;
  for (double v = start; downward ? v >= -2.0 : v <= 2.0; v = step + v) steps.push_back(v);
  return steps;
}

}  // namespace

std::span<const double> RowSteps() {
  static const std::vector<double> rows = Accumulate(2.0, -0.01, true);
  return rows;
}

std::span<const double> ColumnSteps() {
  static const std::vector<double> columns = Accumulate(-2.0, 0.01, false);
  return columns;
}

}  // namespace fractal
