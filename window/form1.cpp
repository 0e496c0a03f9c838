#include "window/form1.h"

#include "render/threaded_row_source.h"
#include "runtime/runtime.h"

namespace fractal {

Form1::Form1(Platform& platform) : Form1(platform, std::make_unique<ThreadedRowSource>()) {}

Form1::Form1(Platform& platform, std::unique_ptr<RowSource> rows)
    : platform_(platform), rows_(std::move(rows)) {}

void Form1::Load() {
  float width = 0;
  float height = 0;
  RequireCall(platform_.ReadSurfaceWidth(width), "read the surface width");
  RequireCall(platform_.ReadSurfaceHeight(height), "read the surface height");
  InitialiseView(view_, width, height);
  RequireCall(platform_.Show(), "show the window");
  DrawFractal();
}

void Form1::Unload(std::int16_t&) {
  // Closing always goes ahead; no drawing suspended beneath this handler resumes.
  RequireCall(platform_.Unload(), "unload the window");
  platform_.EndProcess(0);
}

void Form1::PointerMove(std::int16_t, std::int16_t, float x, float y) { TrackPointer(view_, x, y); }

void Form1::Click() {
  if (ZoomAtPointer(view_)) DrawFractal();
}

void Form1::DrawFractal() { fractal::DrawFractal(platform_, view_, *rows_, drawings_); }

FormFactory MakeForm1Factory() {
  return [](Platform& platform) { return std::make_unique<Form1>(platform); };
}

}  // namespace fractal
