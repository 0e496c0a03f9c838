#include "platform/sdl_x11_motion.h"

#include <SDL_syswm.h>

#if defined(SDL_VIDEO_DRIVER_X11)
#include <X11/Xlibint.h>
#include <X11/extensions/XInput2.h>
#endif

namespace fractal {

#if defined(SDL_VIDEO_DRIVER_X11)
namespace {

using WireToEvent = Bool (*)(Display*, XEvent*, xEvent*);
WireToEvent convert_motion = nullptr;  // Xlib's own conversion of a MotionNotify

// Called by Xlib for every MotionNotify it reads, before it queues the event. Returning False
// leaves the event out of the queue: the motion has gone into the one queued before it. Only a
// motion at the queue's tail is replaced, so no motion passes a click or any other event.
Bool FoldIntoQueuedMotion(Display* display, XEvent* event, xEvent* wire) {
  if (!convert_motion(display, event, wire)) return False;
  _XQEvent* last = display->tail;
  if (last == nullptr || last->event.type != MotionNotify) return True;
  const XMotionEvent& motion = event->xmotion;
  if (last->event.xmotion.window != motion.window || last->event.xmotion.state != motion.state) {
    return True;
  }
  last->event.xmotion = motion;
  return False;
}

// SDL asks XInput 2 for the window's pointer motion (along with touch) and for raw motion on
// the whole screen (for a relative mouse mode the viewer does not use): every motion then comes
// twice, each time as an event that Xlib reads with an allocation of its own and queues
// whatever a handler of it answers. Without those selections the window gets the core pointer
// events, the same motions and clicks, which FoldIntoQueuedMotion can fold.
void UseCorePointerEvents(Display* display, Window window) {
  int opcode = 0;
  int first_event = 0;
  int first_error = 0;
  if (!XQueryExtension(display, "XInputExtension", &opcode, &first_event, &first_error)) return;
  unsigned char none[XIMaskLen(XI_LASTEVENT)] = {};
  XIEventMask mask{XIAllMasterDevices, static_cast<int>(sizeof(none)), none};
  XISelectEvents(display, window, &mask, 1);
  unsigned char buttons[XIMaskLen(XI_LASTEVENT)] = {};
  XISetMask(buttons, XI_RawButtonPress);
  XISetMask(buttons, XI_RawButtonRelease);
  mask.mask = buttons;
  XISelectEvents(display, DefaultRootWindow(display), &mask, 1);
}

}  // namespace

void FoldPointerMotion(SDL_Window* window) {
  SDL_SysWMinfo info;
  SDL_VERSION(&info.version);
  if (!SDL_GetWindowWMInfo(window, &info) || info.subsystem != SDL_SYSWM_X11) return;
  Display* display = info.info.x11.display;
  convert_motion = XESetWireToEvent(display, MotionNotify, FoldIntoQueuedMotion);
  UseCorePointerEvents(display, info.info.x11.window);
}
#else
void FoldPointerMotion(SDL_Window*) {}
#endif

}  // namespace fractal
