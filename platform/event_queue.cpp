#include "platform/event_queue.h"

#include <variant>

namespace fractal {

void EventQueue::Push(const FormEvent& event) {
  if (std::holds_alternative<PointerMoveEvent>(event) && !events_.empty() &&
      std::holds_alternative<PointerMoveEvent>(events_.back())) {
    events_.back() = event;
    return;
  }
  events_.push_back(event);
}

std::optional<FormEvent> EventQueue::Pop() {
  if (events_.empty()) return std::nullopt;
  FormEvent event = events_.front();
  events_.pop_front();
  return event;
}

}  // namespace fractal
