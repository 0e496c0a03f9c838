// The view coordinates a drawing visits: y from 2.0 down, x from -2.0 up, in steps of 0.01
// accumulated by repeated addition (never recomputed from an index, which would round
// differently).
#pragma once

#include <span>

namespace fractal {

// y of each row in drawing order (y = 2.0 first) and x of each point in a row.
std::span<const double> RowSteps();
std::span<const double> ColumnSteps();

}  // namespace fractal
