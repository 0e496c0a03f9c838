#include "render/kernel/batch_maker.h"

#include <cmath>

namespace fractal::kernel_detail {
namespace {

constexpr double kTame = 1e100;

}  // namespace

BatchMaker::BatchMaker(const EscapeParams& params, std::span<const double> ys,
                       std::span<const double> xs, std::deque<Batch>& pool)
    : params_(params), ys_(ys), xs_(xs), pool_(pool), c_real_(xs.size()) {
  for (std::size_t i = 0; i < xs.size(); ++i) {
    c_real_[i] = (xs[i] + params.offset_x) * params.scale;
    tame_columns_ &= std::fabs(c_real_[i]) <= kTame;
  }
  // Every batch of the scratch is free again: the last computation with it has returned.
  for (Batch& batch : pool_) free_.push_back(&batch);
}

bool BatchMaker::TameRow(std::size_t row) const { return std::fabs(RowImag(row)) <= kTame; }

Batch* BatchMaker::FromRows(RowFeed::Rows rows, std::span<const char> apart) {
  if (!LanesTake()) return nullptr;
  for (std::size_t r = rows.first; r < rows.first + rows.count; ++r) {
    if (!TameRow(r)) return nullptr;
  }
  Batch& batch = TakeFree();
  batch.rows = rows;
  const std::size_t width = xs_.size();
  batch.in_order = apart.empty();
  for (std::size_t r = 0; r < rows.count; ++r) {
    const std::size_t row = rows.first + r;
    if (apart.empty()) {
      PlaceRow(batch, row);
      continue;
    }
    for (std::size_t column = 0; column < width; ++column) {
      if (apart[row * width + column] == 0) Place(batch, row, column, r * width);
    }
  }
  Ready(batch);
  return &batch;
}

Batch* BatchMaker::FromPoints(std::span<const std::int32_t> points) {
  if (!LanesTake()) return nullptr;
  for (const std::int32_t point : points) {
    if (!TameRow(static_cast<std::size_t>(point) / xs_.size())) return nullptr;
  }
  Batch& batch = TakeFree();
  batch.rows = {};
  batch.in_order = false;
  for (const std::int32_t point : points) {
    const auto index = static_cast<std::size_t>(point);
    Place(batch, index / xs_.size(), index % xs_.size(), index - index % xs_.size());
  }
  Ready(batch);
  return &batch;
}

// Adds the point at `row`, `column` to the batch; its place is `column` past `row_place`.
void BatchMaker::Place(Batch& batch, std::size_t row, std::size_t column, std::size_t row_place) {
  batch.places.push_back(static_cast<std::int32_t>(row_place + column));
  batch.point_c_real.push_back(c_real_[column]);
  batch.point_c_imag.push_back(RowImag(row));
}

// Adds the whole row to a batch in order.
void BatchMaker::PlaceRow(Batch& batch, std::size_t row) {
  batch.point_c_real.insert(batch.point_c_real.end(), c_real_.begin(), c_real_.end());
  batch.point_c_imag.resize(batch.point_c_real.size(), RowImag(row));
}

void BatchMaker::Ready(Batch& batch) {
  const std::size_t size = batch.point_c_real.size();
  batch.point_counts.resize(size);
  batch.point_work.resize(size);
  batch.c_real = batch.point_c_real.data();
  batch.c_imag = batch.point_c_imag.data();
  batch.counts = batch.point_counts.data();
  batch.work = batch.point_work.data();
  batch.size = static_cast<std::int64_t>(size);
  batch.unfinished = batch.size;
}

Batch& BatchMaker::TakeFree() {
  if (free_.empty()) return pool_.emplace_back();
  Batch* batch = free_.back();
  free_.pop_back();
  batch->places.clear();
  batch->point_c_real.clear();
  batch->point_c_imag.clear();
  return *batch;
}

}  // namespace fractal::kernel_detail
