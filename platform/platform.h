// The services the viewer asks of the window system, and the events it answers.
//
// Everything here is plain C++: the viewer's libraries include this header and nothing of the
// window system behind it. Each call that can fail reports so by its result; the caller decides
// what a failure means (the viewer raises the failed-call error).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string_view>

#include "runtime/colour.h"

namespace fractal {

// What the window is built from at start-up.
struct FormDesign {
  std::string_view caption;
  int width = 0;   // drawing surface, pixels
  int height = 0;  // drawing surface, pixels
  Colour background = 0;
};

// One point to set: surface position in pixels (single precision, absolute) and its colour.
struct SurfacePoint {
  float x = 0;
  float y = 0;
  Colour colour = 0;
};

// The window's event handlers, called by the platform on the window's thread: from its event
// loop, or nested inside PumpEvents while a handler is running.
class FormEvents {
 public:
  virtual ~FormEvents() = default;
  virtual void Load() = 0;
  virtual void Unload(std::int16_t& cancel) = 0;
  virtual void PointerMove(std::int16_t button, std::int16_t shift, float x, float y) = 0;
  virtual void Click() = 0;
};

// The window and the run-time services the viewer calls. Only the window's thread calls these.
class Platform {
 public:
  virtual ~Platform() = default;

  [[nodiscard]] virtual bool SetCaption(std::string_view text) = 0;
  [[nodiscard]] virtual bool ReadBackColour(Colour& colour) = 0;
  [[nodiscard]] virtual bool ReadSurfaceWidth(float& width) = 0;
  [[nodiscard]] virtual bool ReadSurfaceHeight(float& height) = 0;
  [[nodiscard]] virtual bool Show() = 0;
  [[nodiscard]] virtual bool SetPoint(const SurfacePoint& point) = 0;
  // Sets the points in order, stopping at the first that fails; returns how many were set.
  [[nodiscard]] virtual std::size_t SetPoints(std::span<const SurfacePoint> points);
  [[nodiscard]] virtual bool Unload() = 0;

  // Handles every pending event, each handler run to completion, then returns.
  virtual void PumpEvents() = 0;
  // The same, for a caller that is waiting (for a row of a drawing) rather than done with a step
  // of its work: a window whose events are scripted by the count of PumpEvents calls keeps them
  // for those calls.
  virtual void PumpEventsWhileWaiting() = 0;

  virtual void MessageBox(std::string_view prompt) = 0;
  [[noreturn]] virtual void EndProcess(int status) = 0;
};

// Builds the window's handlers once the platform has created the window.
using FormFactory = std::function<std::unique_ptr<FormEvents>(Platform&)>;

}  // namespace fractal
