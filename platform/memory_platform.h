// An in-memory window for tests: a deterministic surface, a scripted event queue, a record of
// what the viewer did, and calls that can be told to fail.
//
// Events posted with Post are pending at once: the first PumpEvents takes them. Events posted
// with PostAtPump become pending when the given PumpEvents call begins (counted from 1 over the
// whole run), so a test can place a click after row k of a drawing. Events posted with
// PostWhenIdle arrive only when the viewer is idle in its event loop, after everything else.
// Events posted with PostWhileWaiting are taken by the next PumpEventsWhileWaiting, and only by
// it: the other scripts never depend on which rows a drawing had to wait for, which its worker
// threads' pace decides. When nothing is left at all, Run returns as a real program would sit
// waiting.
#pragma once

#include <array>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/event_loop.h"
#include "platform/platform.h"

namespace fractal {

enum class WindowCall {
  kSetCaption,
  kReadBackColour,
  kReadWidth,
  kReadHeight,
  kShow,
  kSetPoint,
  kUnload,
  kCount  // how many kinds there are
};

struct RunResult {
  bool ended = false;  // the process ended (otherwise the event queue ran dry)
  int status = 0;      // its exit status, when it ended
};

class MemoryPlatform final : public Platform {
 public:
  explicit MemoryPlatform(const FormDesign& design);
  ~MemoryPlatform() override;

  // Script.
  void Post(const FormEvent& event);
  void PostAtPump(int pump, const FormEvent& event);
  void PostWhenIdle(const FormEvent& event);
  void PostWhileWaiting(const FormEvent& event);
  void OnPump(std::function<void(int pump)> hook);  // runs as each PumpEvents call begins
  void FailCall(WindowCall call, int nth);          // the nth call of that kind fails (from 1)
  void SetBackColour(Colour colour) { background_ = colour; }
  void RecordPoints(bool record) { record_points_ = record; }

  // Creates the handlers with `factory`, raises Load and runs the event loop.
  RunResult Run(const FormFactory& factory);

  // Record.
  const std::vector<std::string>& Captions() const { return captions_; }
  const std::vector<SurfacePoint>& PointsSet() const { return points_; }
  const std::vector<std::string>& Messages() const { return messages_; }
  std::span<const Colour> Surface() const { return surface_; }
  Colour Pixel(int column, int row) const { return surface_[row * width_ + column]; }
  int Pumps() const { return pumps_; }
  bool Visible() const { return visible_; }
  bool Unloaded() const { return unloaded_; }
  FormEvents* Form() const { return form_.get(); }

  // Platform.
  bool SetCaption(std::string_view text) override;
  bool ReadBackColour(Colour& colour) override;
  bool ReadSurfaceWidth(float& width) override;
  bool ReadSurfaceHeight(float& height) override;
  bool Show() override;
  bool SetPoint(const SurfacePoint& point) override;
  std::size_t SetPoints(std::span<const SurfacePoint> points) override;
  bool Unload() override;
  void PumpEvents() override;
  void PumpEventsWhileWaiting() override;
  void MessageBox(std::string_view prompt) override;
  [[noreturn]] void EndProcess(int status) override;

 private:
  bool Succeeds(WindowCall call);
  std::size_t PointsBeforeFailure() const;
  void ReleaseScheduled(int pump);
  void Handle(std::deque<FormEvent>& events);
  std::optional<FormEvent> NextIdleEvent();

  int width_;
  int height_;
  Colour background_;
  std::vector<Colour> surface_;
  std::unique_ptr<FormEvents> form_;

  std::deque<FormEvent> pending_;
  std::multimap<int, FormEvent> scheduled_;
  std::deque<FormEvent> idle_;
  std::deque<FormEvent> while_waiting_;
  std::function<void(int)> on_pump_;
  static constexpr std::size_t kCalls = static_cast<std::size_t>(WindowCall::kCount);
  std::array<int, kCalls> calls_{};                  // calls made, of each kind
  std::array<std::vector<int>, kCalls> failures_{};  // which of them fail

  std::vector<std::string> captions_;
  std::vector<SurfacePoint> points_;
  std::vector<std::string> messages_;
  bool record_points_ = true;
  int pumps_ = 0;
  bool visible_ = false;
  bool unloaded_ = false;
};

}  // namespace fractal
