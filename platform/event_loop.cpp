#include "platform/event_loop.h"

#include <cstdio>
#include <cstdlib>

#include "runtime/runtime.h"

namespace fractal {
namespace {

struct Dispatcher {
  FormEvents& form;
  void operator()(const PointerMoveEvent& e) const {
    form.PointerMove(e.button, e.shift, e.x, e.y);
  }
  void operator()(const ClickEvent&) const { form.Click(); }
  void operator()(const CloseEvent&) const {
    std::int16_t cancel = 0;
    form.Unload(cancel);
  }
};

[[noreturn]] void ReportAndEnd(Platform& platform, const RuntimeError& error) {
  const std::string text = DescribeError(error);
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
  platform.MessageBox(text);
  platform.EndProcess(1);
  std::abort();  // EndProcess never returns
}

}  // namespace

void Dispatch(FormEvents& form, const FormEvent& event) { std::visit(Dispatcher{form}, event); }

void RunEventLoop(Platform& platform, FormEvents& form,
                  const std::function<std::optional<FormEvent>()>& next_event) {
  try {
    form.Load();
    while (const std::optional<FormEvent> event = next_event()) Dispatch(form, *event);
  } catch (const RuntimeError& error) {
    ReportAndEnd(platform, error);
  }
}

}  // namespace fractal
