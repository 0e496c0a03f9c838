#include <cfenv>

#include "render/kernel/kernel.h"
#include "render/row_source.h"
#include "render/view_steps.h"
#include "runtime/runtime.h"

namespace fractal {

void SerialRowSource::Begin(const EscapeParams& params) { params_ = params; }

bool SerialRowSource::WaitForRow(int, std::chrono::milliseconds) { return true; }

RowCounts SerialRowSource::Row(int row) {
  counts_.resize(ColumnSteps().size());
  std::feclearexcept(FE_ALL_EXCEPT);
  ComputeRow(params_, RowSteps()[row], ColumnSteps(), counts_);
  const bool fault = std::fetestexcept(kFloatingPointFaults) != 0;
  return {counts_, fault};
}

}  // namespace fractal
