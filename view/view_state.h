// The view record: where the view origin sits on the surface, where the pointer last was, and
// which part of the plane the view square shows.
//
// Three coordinate systems meet here. Surface pixels (rows grow downward); the view square,
// x and y in [-2, 2], 100 pixels to one unit; and the complex plane, reached from the view
// square by adding the offsets and scaling by 1 / Zoom.
#pragma once

#include <cstdint>

namespace fractal {

struct ViewState {
  std::int16_t CenterX = 0;        // surface column of view x = 0
  std::int16_t CenterY = 0;        // surface row of view y = 0
  std::int16_t PointerDX = 0;      // pointer column minus CenterX, at the last pointer movement
  std::int16_t PointerDY = 0;      // pointer row minus CenterY, at the last pointer movement
  std::int16_t StopRequested = 0;  // 0 false, -1 true: a click has changed the view
  double OffsetX = 0;
  double OffsetY = 0;
  std::int32_t Zoom = 0;  // a power of two once loaded; the iteration cap is 16 * Zoom
};

// The deepest magnification a click may reach: one more doubling would take the iteration
// cap 16 * Zoom out of 32 bits.
inline constexpr std::int32_t kMaxZoom = std::int32_t{1} << 26;

constexpr std::int16_t kTrue = -1;
constexpr std::int16_t kFalse = 0;

// Sets the view origin to the middle of a surface of the given extent, and Zoom to 1.
void InitialiseView(ViewState& view, float width, float height);

// Surface position of a view point: each coordinate formed in double and rounded to single.
float SurfaceColumn(const ViewState& view, double x);
float SurfaceRow(const ViewState& view, double y);

// Plane coordinate of a view coordinate: (v + offset) * (1 / Zoom).
double PlaneReal(const ViewState& view, double x);
double PlaneImaginary(const ViewState& view, double y);

// Remembers the pointer's offset from the view origin, saturated to 16 bits.
void TrackPointer(ViewState& view, float x, float y);

// Doubles Zoom about the point under the pointer, which becomes the new centre. Returns false,
// changing nothing, when Zoom is already at kMaxZoom.
bool ZoomAtPointer(ViewState& view);

}  // namespace fractal
