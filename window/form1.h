// The viewer's one window: its design, its view, and its four event handlers.
#pragma once

#include <memory>

#include "platform/platform.h"
#include "render/draw_fractal.h"
#include "render/row_source.h"
#include "view/view_state.h"

namespace fractal {

// The window as designed: caption, a 400 x 400 drawing surface, black background.
inline constexpr FormDesign kForm1Design{"Form1", 400, 400, 0};

class Form1 final : public FormEvents {
 public:
  explicit Form1(Platform& platform);
  Form1(Platform& platform, std::unique_ptr<RowSource> rows);

  void Load() override;
  void Unload(std::int16_t& cancel) override;
  void PointerMove(std::int16_t button, std::int16_t shift, float x, float y) override;
  void Click() override;

  void DrawFractal();
  const ViewState& View() const { return view_; }
  ViewState& MutableView() { return view_; }

 private:
  Platform& platform_;
  std::unique_ptr<RowSource> rows_;
  ViewState view_;
  DrawingCounter drawings_;
};

// The factory the platform's start routine calls to create the window's handlers.
FormFactory MakeForm1Factory();

}  // namespace fractal
