// Turns the feed's rows, or the points it sets apart, into chunks of points for the lanes, with
// their plane coordinates; the chunks' memory is the worker's scratch, reused from view to view.
#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "render/kernel/chunks.h"
#include "render/kernel/kernel.h"

namespace fractal::kernel_detail {

// Points of the feed on their way through the lanes: those of some rows but the points set
// apart, or some points set apart.
struct Batch : PointChunk {
  RowFeed::Rows rows;                // none for points set apart
  bool in_order = false;             // every point of the rows, in order: `places` lists none
  std::vector<std::int32_t> places;  // each point's index in the rows, or in the view if apart
  std::vector<double> point_c_real;
  std::vector<double> point_c_imag;
  std::vector<std::int32_t> point_counts;
  std::vector<std::int64_t> point_work;
};

// Makes batches for the lanes where they can take the points: the cap is above zero and every c
// is tame, below 1e100. Below that magnitude the plain loop cannot overflow before it stops
// (|z| < 2 until the last step, and then |z| <= 4 + |c|), so it raises no floating-point fault;
// the lanes keep iterating escaped orbits until their next look, which may overflow, so the
// feeder clears their faults and the plain loop's status stands. No view of the viewer has
// points beyond that.
class BatchMaker {
 public:
  BatchMaker(const EscapeParams& params, std::span<const double> ys, std::span<const double> xs,
             std::deque<Batch>& pool);

  // The rows' points but those `apart` names, in a batch; nullptr if the lanes cannot take them.
  Batch* FromRows(RowFeed::Rows rows, std::span<const char> apart);
  // Points set apart, each row * width + column, in a batch; nullptr if the lanes cannot take
  // them.
  Batch* FromPoints(std::span<const std::int32_t> points);
  // The batch may be made again.
  void Release(Batch& batch) { free_.push_back(&batch); }

 private:
  bool LanesTake() const { return !xs_.empty() && params_.cap > 0 && tame_columns_; }
  // The imaginary part of c on the row, as the plain loop computes it.
  double RowImag(std::size_t row) const { return (ys_[row] + params_.offset_y) * params_.scale; }
  bool TameRow(std::size_t row) const;
  void Place(Batch& batch, std::size_t row, std::size_t column, std::size_t row_place);
  void PlaceRow(Batch& batch, std::size_t row);
  static void Ready(Batch& batch);
  Batch& TakeFree();

  const EscapeParams& params_;
  std::span<const double> ys_;
  std::span<const double> xs_;
  std::deque<Batch>& pool_;     // the scratch's batches, stable in memory as it grows
  std::vector<double> c_real_;  // one per column
  bool tame_columns_ = true;
  std::vector<Batch*> free_;
};

}  // namespace fractal::kernel_detail
