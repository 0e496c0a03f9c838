#include "view/view_state.h"

#include "runtime/runtime.h"

namespace fractal {

void InitialiseView(ViewState& view, float width, float height) {
  ClearFloatingPointStatus();
  const float half_width = width / 2.0f;
  const float half_height = height / 2.0f;
  CheckFloatingPointStatus("halving the surface extent");
  view.CenterX = RoundToInt16(half_width);
  view.CenterY = RoundToInt16(half_height);
  view.Zoom = 1;
}

float SurfaceColumn(const ViewState& view, double x) {
  return static_cast<float>(x * 100 + view.CenterX);
}

float SurfaceRow(const ViewState& view, double y) {
  return static_cast<float>(y * 100 + view.CenterY);
}

double PlaneReal(const ViewState& view, double x) { return (x + view.OffsetX) * (1.0 / view.Zoom); }

double PlaneImaginary(const ViewState& view, double y) {
  return (y + view.OffsetY) * (1.0 / view.Zoom);
}

void TrackPointer(ViewState& view, float x, float y) {
  // The difference of two singles is exact in double; it is rounded only once, to 16 bits.
  view.PointerDX = SaturateToInt16(static_cast<double>(x) - static_cast<float>(view.CenterX));
  view.PointerDY = SaturateToInt16(static_cast<double>(y) - static_cast<float>(view.CenterY));
}

bool ZoomAtPointer(ViewState& view) {
  if (view.Zoom >= kMaxZoom) return false;
  ClearFloatingPointStatus();
  const double offset_x = view.PointerDX * 0.02 + view.OffsetX * 2;
  CheckFloatingPointStatus("moving the view");
  view.Zoom = CheckedMultiply(view.Zoom, 2);
  view.OffsetX = offset_x;
  view.StopRequested = kTrue;
  const double offset_y = view.PointerDY * 0.02 + view.OffsetY * 2;
  CheckFloatingPointStatus("moving the view");
  view.OffsetY = offset_y;
  return true;
}

}  // namespace fractal
