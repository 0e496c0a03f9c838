// What both window-system backends share: the viewer's own small events, and the start routine
// that creates the window's handlers and feeds them events.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <variant>

#include "platform/platform.h"

namespace fractal {

struct PointerMoveEvent {
  std::int16_t button = 0;  // 1 left, 2 right, 4 middle, added together
  std::int16_t shift = 0;   // 1 shift, 2 control, 4 alt, added together
  float x = 0;
  float y = 0;
};
struct ClickEvent {};
struct CloseEvent {};

using FormEvent = std::variant<PointerMoveEvent, ClickEvent, CloseEvent>;

// Hands one event to the window's handler for it.
void Dispatch(FormEvents& form, const FormEvent& event);

// Raises Load, then dispatches every event `next_event` delivers. Returns only when `next_event`
// has none left to deliver. A run-time error that unwinds out of a handler is reported to the
// user, in a message box and on stderr, and ends the process with status 1.
void RunEventLoop(Platform& platform, FormEvents& form,
                  const std::function<std::optional<FormEvent>()>& next_event);

}  // namespace fractal
