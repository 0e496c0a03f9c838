#include "platform/memory_platform.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <span>

#include "platform/surface_position.h"

namespace fractal {
namespace {

// Thrown by EndProcess: unwinds every handler and drawing back to Run, as ending the process
// would leave them.
struct ProcessEnded {
  int status;
};

}  // namespace

MemoryPlatform::MemoryPlatform(const FormDesign& design)
    : width_(design.width),
      height_(design.height),
      background_(design.background),
      surface_(static_cast<std::size_t>(design.width) * design.height, design.background) {
  captions_.emplace_back(design.caption);
}

MemoryPlatform::~MemoryPlatform() = default;

void MemoryPlatform::Post(const FormEvent& event) { pending_.push_back(event); }

void MemoryPlatform::PostAtPump(int pump, const FormEvent& event) {
  scheduled_.emplace(pump, event);
}

void MemoryPlatform::PostWhenIdle(const FormEvent& event) { idle_.push_back(event); }

void MemoryPlatform::PostWhileWaiting(const FormEvent& event) { while_waiting_.push_back(event); }

void MemoryPlatform::OnPump(std::function<void(int)> hook) { on_pump_ = std::move(hook); }

void MemoryPlatform::FailCall(WindowCall call, int nth) {
  failures_[static_cast<std::size_t>(call)].push_back(nth);
}

RunResult MemoryPlatform::Run(const FormFactory& factory) {
  form_ = factory(*this);
  try {
    RunEventLoop(*this, *form_, [this] { return NextIdleEvent(); });
  } catch (const ProcessEnded& ended) {
    return {true, ended.status};
  }
  return {false, 0};
}

std::optional<FormEvent> MemoryPlatform::NextIdleEvent() {
  if (pending_.empty() && !scheduled_.empty()) {
    pending_.push_back(scheduled_.begin()->second);
    scheduled_.erase(scheduled_.begin());
  }
  if (pending_.empty() && !idle_.empty()) {
    pending_.push_back(idle_.front());
    idle_.pop_front();
  }
  if (pending_.empty()) return std::nullopt;
  FormEvent event = pending_.front();
  pending_.pop_front();
  return event;
}

bool MemoryPlatform::Succeeds(WindowCall call) {
  const int nth = ++calls_[static_cast<std::size_t>(call)];
  const std::vector<int>& failing = failures_[static_cast<std::size_t>(call)];
  return failing.empty() || std::find(failing.begin(), failing.end(), nth) == failing.end();
}

bool MemoryPlatform::SetCaption(std::string_view text) {
  if (!Succeeds(WindowCall::kSetCaption)) return false;
  captions_.emplace_back(text);
  return true;
}

bool MemoryPlatform::ReadBackColour(Colour& colour) {
  if (!Succeeds(WindowCall::kReadBackColour)) return false;
  colour = background_;
  return true;
}

bool MemoryPlatform::ReadSurfaceWidth(float& width) {
  if (!Succeeds(WindowCall::kReadWidth)) return false;
  width = static_cast<float>(width_);
  return true;
}

bool MemoryPlatform::ReadSurfaceHeight(float& height) {
  if (!Succeeds(WindowCall::kReadHeight)) return false;
  height = static_cast<float>(height_);
  return true;
}

bool MemoryPlatform::Show() {
  if (!Succeeds(WindowCall::kShow)) return false;
  visible_ = true;
  return true;
}

bool MemoryPlatform::SetPoint(const SurfacePoint& point) {
  if (!Succeeds(WindowCall::kSetPoint)) return false;
  if (record_points_) points_.push_back(point);
  // Points off the surface are ignored, as a window clips them.
  if (const auto pixel = PixelIndex(point.x, point.y, width_, height_))
    surface_[*pixel] = point.colour;
  return true;
}

std::size_t MemoryPlatform::SetPoints(std::span<const SurfacePoint> points) {
  // Up to the next point told to fail, the points go onto the surface in one tight loop.
  const std::size_t set = std::min(points.size(), PointsBeforeFailure());
  calls_[static_cast<std::size_t>(WindowCall::kSetPoint)] += static_cast<int>(set);
  if (record_points_) points_.insert(points_.end(), points.begin(), points.begin() + set);
  PaintPoints(points.first(set), std::span(surface_), width_, height_, [](Colour c) { return c; });
  if (set == points.size()) return set;
  (void)Succeeds(WindowCall::kSetPoint);  // counts the failing call
  return set;
}

std::size_t MemoryPlatform::PointsBeforeFailure() const {
  const int made = calls_[static_cast<std::size_t>(WindowCall::kSetPoint)];
  std::size_t before = std::numeric_limits<std::size_t>::max();
  for (int nth : failures_[static_cast<std::size_t>(WindowCall::kSetPoint)]) {
    if (nth > made) before = std::min(before, static_cast<std::size_t>(nth - made - 1));
  }
  return before;
}

bool MemoryPlatform::Unload() {
  if (!Succeeds(WindowCall::kUnload)) return false;
  unloaded_ = true;
  visible_ = false;
  return true;
}

void MemoryPlatform::ReleaseScheduled(int pump) {
  const auto last = scheduled_.upper_bound(pump);
  for (auto it = scheduled_.begin(); it != last; ++it) pending_.push_back(it->second);
  scheduled_.erase(scheduled_.begin(), last);
}

void MemoryPlatform::PumpEvents() {
  const int pump = ++pumps_;
  if (on_pump_) on_pump_(pump);
  ReleaseScheduled(pump);
  Handle(pending_);
}

void MemoryPlatform::PumpEventsWhileWaiting() { Handle(while_waiting_); }

void MemoryPlatform::Handle(std::deque<FormEvent>& events) {
  // Handlers run nested here may pump again and take later events; take one at a time.
  while (!events.empty()) {
    FormEvent event = events.front();
    events.pop_front();
    Dispatch(*form_, event);
  }
}

void MemoryPlatform::MessageBox(std::string_view prompt) { messages_.emplace_back(prompt); }

void MemoryPlatform::EndProcess(int status) { throw ProcessEnded{status}; }

}  // namespace fractal
