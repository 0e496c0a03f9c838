// A window for long scripted runs: it hands every event to the viewer's Form1 and checks, at
// each event boundary, what the viewer did since the previous one.
//
// Between two events nothing but a drawing changes the surface or the captions, and a drawing
// sets "Ready." only as the last thing before its handler returns. So whenever a new "Ready."
// shows up at a boundary, the surface must be the whole picture of the current view. The view
// itself is checked against the events: each click doubles Zoom about the point under the
// pointer, and each move sets the pointer offsets.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/memory_platform.h"
#include "view/view_state.h"
#include "window/form1.h"

namespace fractal::testing {

// "Form1" first, then only "Drawing..." and "Ready.", each "Ready." ending a drawing begun
// since the previous "Ready.".
::testing::AssertionResult CaptionsFollowRules(const std::vector<std::string>& captions);

// The surface shows exactly `expected`, a picture `width` pixels wide.
::testing::AssertionResult SurfaceEquals(std::span<const Colour> surface,
                                         std::span<const Colour> expected, int width);

// `offset` is position - centre rounded to the nearest integer, ties to even, and saturated to
// the 16-bit range.
::testing::AssertionResult OffsetFollowsPointer(std::int16_t offset, float position,
                                                std::int16_t centre);

class ObservedForm final : public FormEvents {
 public:
  // `design` must be the design `platform` was built from.
  ObservedForm(MemoryPlatform& platform, const FormDesign& design);

  void Load() override;
  void Unload(std::int16_t& cancel) override;
  void PointerMove(std::int16_t button, std::int16_t shift, float x, float y) override;
  void Click() override;

  const Form1& Viewer() const { return viewer_; }
  int Moves() const { return moves_; }
  int Clicks() const { return clicks_; }
  int PicturesChecked() const { return pictures_checked_; }
  int DrawingsFinished() const { return drawings_finished_; }
  // Distinct colours of the most colourful finished drawing.
  int MostColours() const { return most_colours_; }
  // Most drawings running at once, one inside another's event handling.
  int DeepestNesting() const { return deepest_nesting_; }
  // How many captions had been set when the close arrived (-1: it never did).
  int CaptionsAtClose() const { return captions_at_close_; }
  // Checks made during the run that failed (only the first few are reported one by one).
  int FailedChecks() const { return failed_checks_; }

 private:
  void RunDrawingHandler(void (Form1::*handler)());
  void ClickAtDeepestZoom();
  void CheckSinceLastEvent();
  void Check(const ::testing::AssertionResult& result);

  MemoryPlatform& platform_;
  Form1 viewer_;
  int width_;
  int height_;
  Colour background_;

  // What the viewer should have done, counted from the events alone.
  std::int32_t expected_zoom_ = 1;
  std::int16_t pointer_dx_ = 0;  // as the last move left them
  std::int16_t pointer_dy_ = 0;
  std::optional<ViewState> zoomed_from_;  // the view before the latest click, until checked
  std::vector<bool> running_;  // one per drawing running, outermost first: superseded yet?
  int drawings_finished_ = 0;

  std::size_t captions_seen_ = 0;
  int ready_captions_ = 0;
  int moves_ = 0;
  int clicks_ = 0;
  int pictures_checked_ = 0;
  int most_colours_ = 0;
  int deepest_nesting_ = 0;
  int captions_at_close_ = -1;
  int failed_checks_ = 0;
};

// Builds an ObservedForm for MemoryPlatform::Run on a platform built from `design`.
FormFactory MakeObservedFormFactory(const FormDesign& design);

// The ObservedForm of a platform that ran MakeObservedFormFactory's form.
const ObservedForm& ObservedFormOf(const MemoryPlatform& platform);

}  // namespace fractal::testing
