// The window's events waiting to be handled, in the order they came.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>

#include "platform/event_loop.h"

namespace fractal {

// A pointer move that follows another folds into it: a handler can observe only the last
// position, so a flood of motion takes one entry, not one per motion. Nothing else folds, and
// no move is ever taken past a click or a close: the queue grows only with the clicks and
// closes that come.
class EventQueue {
 public:
  void Push(const FormEvent& event);
  std::optional<FormEvent> Pop();
  bool empty() const { return events_.empty(); }
  std::size_t size() const { return events_.size(); }

 private:
  std::deque<FormEvent> events_;
};

}  // namespace fractal
