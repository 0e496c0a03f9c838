#include "support/observed_form.h"

#include <algorithm>
#include <cmath>
#include <set>

#include "support/reference_drawing.h"
#include "support/surface_difference.h"

namespace fractal::testing {
namespace {

constexpr std::string_view kDrawing = "Drawing...";
constexpr std::string_view kReady = "Ready.";

template <typename Count>
::testing::AssertionResult Counts(const char* what, Count actual, Count expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << what << ": " << actual << ", expected " << expected;
}

bool SameView(const ViewState& a, const ViewState& b) {
  return a.CenterX == b.CenterX && a.CenterY == b.CenterY && a.PointerDX == b.PointerDX &&
         a.PointerDY == b.PointerDY && a.StopRequested == b.StopRequested &&
         a.OffsetX == b.OffsetX && a.OffsetY == b.OffsetY && a.Zoom == b.Zoom;
}

// A click zooms about the point under the pointer: the plane point that was there becomes the
// centre of the view, at twice the zoom. Allowed error: far below a pixel, 0.01 / Zoom.
::testing::AssertionResult ZoomedAboutPointer(const ViewState& before, const ViewState& after) {
  if (after.Zoom != 2 * before.Zoom) {
    return ::testing::AssertionFailure() << "Zoom " << after.Zoom << " after " << before.Zoom;
  }
  const double under_pointer[] = {(before.PointerDX / 100.0 + before.OffsetX) / before.Zoom,
                                  (before.PointerDY / 100.0 + before.OffsetY) / before.Zoom};
  const double centre[] = {after.OffsetX / after.Zoom, after.OffsetY / after.Zoom};
  for (int axis = 0; axis < 2; ++axis) {
    const double tolerance = 1e-8 / after.Zoom + 1e-14 * std::abs(under_pointer[axis]);
    if (std::abs(centre[axis] - under_pointer[axis]) > tolerance) {
      return ::testing::AssertionFailure()
             << "the new centre " << centre[axis] << " is not the point under the pointer, "
             << under_pointer[axis] << " (axis " << axis << ", Zoom " << after.Zoom << ")";
    }
  }
  return ::testing::AssertionSuccess();
}

}  // namespace

::testing::AssertionResult CaptionsFollowRules(const std::vector<std::string>& captions) {
  if (captions.empty() || captions.front() != "Form1") {
    return ::testing::AssertionFailure() << "the first caption is not \"Form1\"";
  }
  bool drawing_since_ready = false;
  for (std::size_t i = 1; i < captions.size(); ++i) {
    if (captions[i] == kDrawing) {
      drawing_since_ready = true;
    } else if (captions[i] == kReady) {
      if (!drawing_since_ready) {
        return ::testing::AssertionFailure() << "caption " << i << " is a \"Ready.\" with no "
                                             << "\"Drawing...\" since the previous one";
      }
      drawing_since_ready = false;
    } else {
      return ::testing::AssertionFailure() << "caption " << i << " is \"" << captions[i] << '"';
    }
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult SurfaceEquals(std::span<const Colour> surface,
                                         std::span<const Colour> expected, int width) {
  const std::string difference = testing::DescribeDifference(surface, expected, width);
  if (difference.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "pixels: " << difference;
}

::testing::AssertionResult OffsetFollowsPointer(std::int16_t offset, float position,
                                                std::int16_t centre) {
  const double exact = static_cast<double>(position) - centre;  // exact: both are singles
  bool follows = false;
  if (exact >= 32767.5) {
    follows = offset == 32767;
  } else if (exact <= -32768.5) {
    follows = offset == -32768;
  } else {
    const double error = std::abs(offset - exact);
    follows = error < 0.5 || (error == 0.5 && offset % 2 == 0);
  }
  if (follows) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "offset " << offset << " for pointer " << position << " and centre " << centre;
}

ObservedForm::ObservedForm(MemoryPlatform& platform, const FormDesign& design)
    : platform_(platform),
      viewer_(platform),
      width_(design.width),
      height_(design.height),
      background_(design.background) {}

void ObservedForm::Load() { RunDrawingHandler(&Form1::Load); }

void ObservedForm::Unload(std::int16_t& cancel) {
  CheckSinceLastEvent();
  captions_at_close_ = static_cast<int>(platform_.Captions().size());
  viewer_.Unload(cancel);
  ADD_FAILURE() << "closing returned to the event loop";
}

void ObservedForm::PointerMove(std::int16_t button, std::int16_t shift, float x, float y) {
  CheckSinceLastEvent();
  ++moves_;
  viewer_.PointerMove(button, shift, x, y);
  const ViewState& view = viewer_.View();
  Check(OffsetFollowsPointer(view.PointerDX, x, view.CenterX));
  Check(OffsetFollowsPointer(view.PointerDY, y, view.CenterY));
  pointer_dx_ = view.PointerDX;
  pointer_dy_ = view.PointerDY;
}

void ObservedForm::Click() {
  CheckSinceLastEvent();
  ++clicks_;
  if (expected_zoom_ >= kMaxZoom) return ClickAtDeepestZoom();
  expected_zoom_ *= 2;
  zoomed_from_ = viewer_.View();
  RunDrawingHandler(&Form1::Click);
}

void ObservedForm::RunDrawingHandler(void (Form1::*handler)()) {
  // The new drawing supersedes every drawing running beneath it: none of them may set
  // "Ready." when it resumes.
  std::fill(running_.begin(), running_.end(), true);
  running_.push_back(false);
  deepest_nesting_ = std::max(deepest_nesting_, static_cast<int>(running_.size()));
  (viewer_.*handler)();
  const bool superseded = running_.back();
  running_.pop_back();
  if (!superseded) ++drawings_finished_;
  CheckSinceLastEvent();
  Check(Counts("Zoom", viewer_.View().Zoom, expected_zoom_));
}

void ObservedForm::ClickAtDeepestZoom() {
  const ViewState before = viewer_.View();
  const std::size_t captions = platform_.Captions().size();
  const std::size_t points = platform_.PointsSet().size();
  const int pumps = platform_.Pumps();
  viewer_.Click();
  if (!SameView(viewer_.View(), before)) {
    Check(::testing::AssertionFailure() << "a click at the deepest zoom moved the view");
  }
  Check(
      Counts("captions after a click at the deepest zoom", platform_.Captions().size(), captions));
  Check(Counts("points after a click at the deepest zoom", platform_.PointsSet().size(), points));
  Check(Counts("pumps after a click at the deepest zoom", platform_.Pumps(), pumps));
}

void ObservedForm::Check(const ::testing::AssertionResult& result) {
  if (result) return;
  // A broken rule breaks again at every later event; the first few failures tell the story.
  if (++failed_checks_ <= 5) ADD_FAILURE() << result.message();
}

void ObservedForm::CheckSinceLastEvent() {
  // The first boundary after a click comes before any later click can move the view again.
  if (zoomed_from_) Check(ZoomedAboutPointer(*zoomed_from_, viewer_.View()));
  zoomed_from_.reset();
  // Only a pointer move changes where the pointer was.
  Check(Counts("PointerDX since the last move", viewer_.View().PointerDX, pointer_dx_));
  Check(Counts("PointerDY since the last move", viewer_.View().PointerDY, pointer_dy_));
  const std::vector<std::string>& captions = platform_.Captions();
  int new_ready = 0;
  for (; captions_seen_ < captions.size(); ++captions_seen_) {
    new_ready += captions[captions_seen_] == kReady;
  }
  ready_captions_ += new_ready;
  Check(Counts("\"Ready.\" captions, against drawings that ran to their end", ready_captions_,
               drawings_finished_));
  if (new_ready == 0) return;
  ++pictures_checked_;
  const std::vector<Colour> expected =
      ReferencePicture(viewer_.View(), width_, height_, background_);
  Check(SurfaceEquals(platform_.Surface(), expected, width_)
        << " (finished drawing " << pictures_checked_ << ", Zoom " << viewer_.View().Zoom << ")");
  const std::set<Colour> colours(expected.begin(), expected.end());
  most_colours_ = std::max(most_colours_, static_cast<int>(colours.size()));
}

FormFactory MakeObservedFormFactory(const FormDesign& design) {
  return [design](Platform& platform) {
    return std::make_unique<ObservedForm>(dynamic_cast<MemoryPlatform&>(platform), design);
  };
}

const ObservedForm& ObservedFormOf(const MemoryPlatform& platform) {
  return dynamic_cast<const ObservedForm&>(*platform.Form());
}

}  // namespace fractal::testing
