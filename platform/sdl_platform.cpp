#include "platform/sdl_platform.h"

#include <SDL.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/event_loop.h"
#include "platform/event_queue.h"
#include "platform/sdl_video.h"
#include "platform/sdl_wayland.h"
#include "platform/sdl_x11_motion.h"
#include "platform/surface_position.h"
#include "runtime/runtime.h"

namespace fractal {
namespace {

// Presenting after every row would let the screen's pace set the drawing's; a drawing shows
// progress at about 60 frames a second instead, and once more when it is done. A frame waits
// until its first change is a frame interval old, so a drawing quicker than one frame is
// presented once, when it is done.
constexpr Uint32 kPresentIntervalMs = 16;
constexpr char kMessageTitle[] = "Fractal viewer";

// The framebuffer's format, the one X servers of 24-bit depth give a window: presenting a frame
// is then a plain copy. (Drawing straight into the window's surface, shared with the X server,
// was measured slower: its memory is not kept in this core's cache.)
constexpr Uint32 kPixelFormat = SDL_PIXELFORMAT_RGB888;

Uint32 ToPixel(Colour colour) {
  const Uint32 red = colour & 0xFF;
  const Uint32 green = (colour >> 8) & 0xFF;
  const Uint32 blue = (colour >> 16) & 0xFF;
  return red << 16 | green << 8 | blue;
}

std::int16_t ButtonsOf(Uint32 state) {
  std::int16_t buttons = 0;
  if (state & SDL_BUTTON_LMASK) buttons += 1;
  if (state & SDL_BUTTON_RMASK) buttons += 2;
  if (state & SDL_BUTTON_MMASK) buttons += 4;
  return buttons;
}

std::int16_t ShiftOf(SDL_Keymod mod) {
  std::int16_t shift = 0;
  if (mod & KMOD_SHIFT) shift += 1;
  if (mod & KMOD_CTRL) shift += 2;
  if (mod & KMOD_ALT) shift += 4;
  return shift;
}

class SdlPlatform final : public Platform {
 public:
  explicit SdlPlatform(const FormDesign& design);

  [[noreturn]] void Run(const FormFactory& factory);

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
  std::optional<FormEvent> Translate(const SDL_Event& event);
  static int SDLCALL TakeEvent(void* platform, SDL_Event* event);
  void ReadEvents();
  std::optional<FormEvent> WaitEvent();
  [[nodiscard]] bool Present();
  void RequirePresent();
  void PresentIfDue();
  void ChooseFramebuffer();

  FormDesign design_;
  SDL_Window* window_ = nullptr;
  std::vector<Uint32> framebuffer_;
  SDL_Surface* source_ = nullptr;  // framebuffer_ as SDL sees it
  std::unique_ptr<FormEvents> form_;
  void MarkDirty();
  void TouchFramebuffer();

  bool dirty_ = true;
  Uint32 dirty_since_ = 0;  // when the framebuffer first changed after the last frame
  Uint32 last_read_ = 0;    // when PumpEvents last read the window system's events

  // Every event SDL reads is taken into events_ as it is read (TakeEvent), so that SDL's own
  // queue, which drops events once it holds 65,535, never fills however fast they come. Only
  // a wake-up stays in SDL's queue, at most one at a time, so that SDL_WaitEvent returns. It is
  // an event of the viewer's own type: SDL removes a queued window event when another like it
  // comes (exposures, moves, resizes), and a wake-up removed so would leave the viewer asleep
  // for good, deaf to clicks, closes and signals.
  EventQueue events_;
  Uint32 wake_up_type_ = 0;
  bool wake_up_queued_ = false;
};

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "%s: %s\n", what, SDL_GetError());
  std::exit(1);
}

SdlPlatform::SdlPlatform(const FormDesign& design)
    : design_(design),
      framebuffer_(static_cast<std::size_t>(design.width) * design.height,
                   ToPixel(design.background)) {
  // Every click counts, also the one that gives the window the focus.
  SDL_SetHint(SDL_HINT_MOUSE_FOCUS_CLICKTHROUGH, "1");
  // The window's class names the desktop entry it belongs to (X11 WM_CLASS, Wayland app id),
  // unless the user named another.
  setenv("SDL_VIDEO_X11_WMCLASS", FRACTAL_APP_ID, /*overwrite=*/0);
  StartVideo();
  ChooseFramebuffer();
  wake_up_type_ = SDL_RegisterEvents(1);
  if (wake_up_type_ == static_cast<Uint32>(-1)) Fail("cannot register the wake-up event");
  SDL_SetEventFilter(&SdlPlatform::TakeEvent, this);
  const std::string caption(design.caption);
  window_ = SDL_CreateWindow(caption.c_str(), SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED,
                             design.width, design.height, SDL_WINDOW_HIDDEN);
  if (window_ == nullptr) Fail("cannot create the window");
  FoldPointerMotion(window_);
  // One surface over the framebuffer for the whole run: SDL keeps its blit to the window's
  // surface worked out between frames.
  source_ = SDL_CreateRGBSurfaceWithFormatFrom(framebuffer_.data(), design.width, design.height, 32,
                                               design.width * 4, kPixelFormat);
  if (source_ == nullptr) Fail("cannot wrap the framebuffer");
}

void SdlPlatform::Run(const FormFactory& factory) {
  form_ = factory(*this);
  RunEventLoop(*this, *form_, [this] { return WaitEvent(); });
  Fail("the event loop stopped");
}

std::optional<FormEvent> SdlPlatform::WaitEvent() {
  for (;;) {
    if (std::optional<FormEvent> event = events_.Pop()) return event;
    if (dirty_) RequirePresent();
    SDL_Event wake_up;
    if (SDL_WaitEvent(&wake_up) == 0) return std::nullopt;
    wake_up_queued_ = false;
  }
}

// SDL's event filter: called for every event SDL queues, in order, on the thread that reads
// them (the window's), from inside SDL_PumpEvents. No handler may run here: a click's drawing
// would read events again from inside SDL's reading.
int SDLCALL SdlPlatform::TakeEvent(void* platform, SDL_Event* event) {
  SdlPlatform& self = *static_cast<SdlPlatform*>(platform);
  if (event->type == self.wake_up_type_) return 1;
  const bool was_dirty = self.dirty_;
  const std::optional<FormEvent> form_event = self.Translate(*event);
  if (form_event) self.events_.Push(*form_event);
  // An exposure only marks the picture for presenting; the idle window must wake for it too.
  const bool needs_window = form_event || self.dirty_ != was_dirty;
  if (needs_window && !self.wake_up_queued_) {
    // SDL's lock around this filter is recursive: the wake-up passes through it above.
    SDL_Event wake_up{};
    wake_up.type = self.wake_up_type_;
    self.wake_up_queued_ = SDL_PushEvent(&wake_up) == 1;
  }
  return 0;
}

// Reads what the window system has sent into events_; the wake-up is then not needed.
void SdlPlatform::ReadEvents() {
  SDL_PumpEvents();
  if (!wake_up_queued_) return;
  SDL_Event wake_up;
  SDL_PeepEvents(&wake_up, 1, SDL_GETEVENT, wake_up_type_, wake_up_type_);
  wake_up_queued_ = false;
}

std::optional<FormEvent> SdlPlatform::Translate(const SDL_Event& event) {
  switch (event.type) {
    case SDL_MOUSEMOTION:
      return PointerMoveEvent{ButtonsOf(event.motion.state), ShiftOf(SDL_GetModState()),
                              static_cast<float>(event.motion.x),
                              static_cast<float>(event.motion.y)};
    case SDL_MOUSEBUTTONUP: {
      const bool inside = event.button.x >= 0 && event.button.x < design_.width &&
                          event.button.y >= 0 && event.button.y < design_.height;
      if (event.button.button == SDL_BUTTON_LEFT && inside) return ClickEvent{};
      return std::nullopt;
    }
    case SDL_WINDOWEVENT:
      if (event.window.event == SDL_WINDOWEVENT_CLOSE) return CloseEvent{};
      if (event.window.event == SDL_WINDOWEVENT_EXPOSED) MarkDirty();
      return std::nullopt;
    case SDL_QUIT:
      // A signal, or SDL's word that the Wayland compositor is gone: the latter is an error.
      if (WaylandConnectionLost(window_)) EndForLostConnection(window_);
      return CloseEvent{};
    default:
      return std::nullopt;
  }
}

// Where the window system lets a program write into the window's own pixels (X11 by shared
// memory), the window's surface is that plain software framebuffer: no OpenGL context behind the
// window, nothing waits for vsync. SDL's Wayland driver has no such framebuffer; there the
// window's surface is a texture that an SDL renderer draws, which SDL calls the accelerated
// framebuffer. A setting the user made in the environment still wins.
void SdlPlatform::ChooseFramebuffer() {
  const std::string_view driver = SDL_GetCurrentVideoDriver();
  SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, driver == "wayland" ? "1" : "0");
}

// The picture reaches the screen or the caller learns that it did not: a window without a
// surface (a driver that can give it none) is a failed call, not an empty window.
bool SdlPlatform::Present() {
  SDL_Surface* target = SDL_GetWindowSurface(window_);
  if (target == nullptr || SDL_BlitSurface(source_, nullptr, target, nullptr) != 0 ||
      SDL_UpdateWindowSurface(window_) != 0) {
    return false;
  }
  dirty_ = false;
  return true;
}

// For the callers that have no status to return: the failure is raised here.
void SdlPlatform::RequirePresent() {
  if (!Present()) RaiseFailedCallError(std::string("presenting the picture: ") + SDL_GetError());
}

void SdlPlatform::PresentIfDue() {
  if (dirty_ && SDL_GetTicks() - dirty_since_ >= kPresentIntervalMs) RequirePresent();
}

// A fresh zero-filled framebuffer may still be the system's shared page of zeros; the first
// write to each page would then fault, one every few rows of the first drawing. Each page is
// written once now instead, keeping what it holds.
void SdlPlatform::TouchFramebuffer() {
  constexpr std::size_t kPixelsPerPage = 4096 / sizeof(Uint32);
  volatile Uint32* pixels = framebuffer_.data();
  for (std::size_t i = 0; i < framebuffer_.size(); i += kPixelsPerPage) pixels[i] = pixels[i];
}

void SdlPlatform::MarkDirty() {
  if (dirty_) return;
  dirty_ = true;
  dirty_since_ = SDL_GetTicks();
}

bool SdlPlatform::SetCaption(std::string_view text) {
  // The title and the picture change together: "Ready." appears with the finished picture.
  if (dirty_ && !Present()) return false;
  const std::string caption(text);
  SDL_SetWindowTitle(window_, caption.c_str());
  return true;
}

bool SdlPlatform::ReadBackColour(Colour& colour) {
  colour = design_.background;
  return true;
}

bool SdlPlatform::ReadSurfaceWidth(float& width) {
  int w = 0;
  SDL_GetWindowSize(window_, &w, nullptr);
  width = static_cast<float>(w);
  return w > 0;
}

bool SdlPlatform::ReadSurfaceHeight(float& height) {
  int h = 0;
  SDL_GetWindowSize(window_, nullptr, &h);
  height = static_cast<float>(h);
  return h > 0;
}

bool SdlPlatform::Show() {
  TouchFramebuffer();
  SDL_ShowWindow(window_);
  // A window appears painted with its background, not with whatever the screen held, and the
  // first frame, which costs the most, is not left to the first drawing.
  if (!Present()) return false;
  // The burst of events a new window gets (mapping, focus, exposure) is read now, into the
  // queue, where PumpEvents finds it as it would have.
  ReadEvents();
  last_read_ = SDL_GetTicks();
  return true;
}

bool SdlPlatform::SetPoint(const SurfacePoint& point) {
  if (const auto pixel = PixelIndex(point.x, point.y, design_.width, design_.height)) {
    framebuffer_[*pixel] = ToPixel(point.colour);
    MarkDirty();
  }
  return true;
}

std::size_t SdlPlatform::SetPoints(std::span<const SurfacePoint> points) {
  if (PaintPoints(points, std::span(framebuffer_), design_.width, design_.height, ToPixel) > 0) {
    MarkDirty();
  }
  return points.size();
}

bool SdlPlatform::Unload() {
  // The process ends next. On Wayland the window is only taken off the screen: destroying it
  // would tear down its OpenGL context first, and Mesa's software driver then joins each of its
  // threads, tens of milliseconds on a busy machine, for nothing the end of the process does not
  // do anyway.
  if (std::string_view(SDL_GetCurrentVideoDriver()) == "wayland") {
    SDL_HideWindow(window_);
    return true;
  }
  SDL_DestroyWindow(window_);
  window_ = nullptr;
  return true;
}

void SdlPlatform::PumpEvents() {
  PresentIfDue();
  // Reading the X connection costs a few microseconds, as much as drawing a shallow row; it is
  // read at most once a millisecond, and every event already read is handled after every row.
  const Uint32 now = SDL_GetTicks();
  if (now != last_read_) {
    ReadEvents();
    last_read_ = now;
  }
  // A click's drawing, run nested here, takes the events behind the click itself.
  while (std::optional<FormEvent> event = events_.Pop()) Dispatch(*form_, *event);
}

void SdlPlatform::PumpEventsWhileWaiting() { PumpEvents(); }

void SdlPlatform::MessageBox(std::string_view prompt) {
  const std::string text(prompt);
  SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_INFORMATION, kMessageTitle, text.c_str(), window_);
}

void SdlPlatform::EndProcess(int status) {
  std::fflush(stdout);
  std::fflush(stderr);
  // Nothing of the program may run after this, not even destructors of a suspended drawing.
  // The window is already gone; the X server releases the rest when the connection closes, so
  // the process does not wait for SDL's own tidying up.
  std::_Exit(status);
}

}  // namespace

void RunSdlApplication(const FormDesign& design, const FormFactory& factory) {
  static SdlPlatform platform(design);
  platform.Run(factory);
}

}  // namespace fractal
