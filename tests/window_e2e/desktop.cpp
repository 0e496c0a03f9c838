#include "tests/window_e2e/desktop.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <poll.h>

#include <algorithm>
#include <bit>
#include <memory>
#include <stdexcept>

namespace fractal::e2e {
namespace {

// The viewer's window may go away between two requests about it (it ends at a close request);
// such requests fail harmlessly. The last error is kept for the calls that must not fail.
int last_x_error = Success;

int RememberXError(Display*, XErrorEvent* error) {
  last_x_error = error->error_code;
  return 0;
}

constexpr std::chrono::milliseconds kLongestPumpWait{10};

struct XFreeDeleter {
  void operator()(void* data) const { XFree(data); }
};

// 8 bits of a channel out of a pixel, by the visual's mask for it.
std::int32_t Channel(unsigned long pixel, unsigned long mask) {
  return static_cast<std::int32_t>((pixel & mask) >> std::countr_zero(mask)) & 0xFF;
}

}  // namespace

Desktop::Desktop(const std::string& display_name) {
  XSetErrorHandler(RememberXError);
  display_ = XOpenDisplay(display_name.c_str());
  if (display_ == nullptr) throw std::runtime_error("cannot connect to " + display_name);
  int event_base, error_base, major, minor;
  if (!XTestQueryExtension(display_, &event_base, &error_base, &major, &minor)) {
    XCloseDisplay(display_);
    throw std::runtime_error("the X server has no XTEST extension");
  }
  root_ = DefaultRootWindow(display_);
  net_wm_name_ = XInternAtom(display_, "_NET_WM_NAME", False);
  net_wm_pid_ = XInternAtom(display_, "_NET_WM_PID", False);
  utf8_string_ = XInternAtom(display_, "UTF8_STRING", False);
  wm_protocols_ = XInternAtom(display_, "WM_PROTOCOLS", False);
  wm_delete_window_ = XInternAtom(display_, "WM_DELETE_WINDOW", False);
  // Only one client may redirect the root's children; on a private server that is this one.
  last_x_error = Success;
  XSelectInput(display_, root_, SubstructureRedirectMask | SubstructureNotifyMask);
  XSync(display_, False);
  if (last_x_error != Success) {
    XCloseDisplay(display_);
    throw std::runtime_error("another client manages the windows of " + display_name);
  }
}

Desktop::~Desktop() { XCloseDisplay(display_); }

void Desktop::Pump(std::chrono::milliseconds timeout) {
  XFlush(display_);
  if (XPending(display_) == 0) {
    pollfd readable{ConnectionNumber(display_), POLLIN, 0};
    poll(&readable, 1, static_cast<int>(timeout.count()));
  }
  while (XPending(display_) > 0) {
    XEvent event;
    XNextEvent(display_, &event);
    Handle(event);
  }
}

bool Desktop::PumpUntil(const std::function<bool()>& done, Clock::time_point deadline) {
  for (;;) {
    if (done()) return true;
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return false;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
    Pump(std::min(left, kLongestPumpWait));
  }
}

void Desktop::Handle(const XEvent& event) {
  switch (event.type) {
    case MapRequest:
      Adopt(event.xmaprequest.window);
      break;
    case ConfigureRequest: {
      const XConfigureRequestEvent& request = event.xconfigurerequest;
      XWindowChanges changes{
          request.x,     request.y,     request.width, request.height, request.border_width,
          request.above, request.detail};
      XConfigureWindow(display_, request.window, static_cast<unsigned>(request.value_mask),
                       &changes);
      break;
    }
    case PropertyNotify:
      if (event.xproperty.atom == net_wm_name_ && Manages(event.xproperty.window)) {
        ++title_changes_;
        RecordTitle(event.xproperty.window);
      }
      break;
    case DestroyNotify:
      Forget(event.xdestroywindow.window);
      break;
    default:
      break;
  }
}

void Desktop::Adopt(Window window) {
  // Title changes are followed from before the window is shown: until it is mapped the viewer
  // waits, so the title read here is its first one.
  XSelectInput(display_, window, PropertyChangeMask);
  RecordTitle(window);
  XMapWindow(display_, window);
  XFlush(display_);
  mapped_.push_back(window);
}

void Desktop::Forget(Window window) {
  mapped_.erase(std::remove(mapped_.begin(), mapped_.end(), window), mapped_.end());
}

void Desktop::RecordTitle(Window window) {
  if (std::optional<std::string> title = ReadTitle(window)) {
    titles_read_.push_back(*title);
    titles_read_at_.push_back(Clock::now());
  }
}

std::optional<std::string> Desktop::ReadTitle(Window window) {
  Atom type = None;
  int format = 0;
  unsigned long items = 0;
  unsigned long bytes_after = 0;
  unsigned char* data = nullptr;
  const int status = XGetWindowProperty(display_, window, net_wm_name_, 0, 1024, False,
                                        utf8_string_, &type, &format, &items, &bytes_after, &data);
  std::unique_ptr<unsigned char, XFreeDeleter> owned(data);
  if (status == Success && type == utf8_string_ && format == 8) {
    return std::string(reinterpret_cast<const char*>(data), items);
  }
  char* name = nullptr;
  if (XFetchName(display_, window, &name) == 0 || name == nullptr) return std::nullopt;
  std::unique_ptr<char, XFreeDeleter> owned_name(name);
  return std::string(name);
}

std::optional<pid_t> Desktop::ProcessOf(Window window) {
  Atom type = None;
  int format = 0;
  unsigned long items = 0;
  unsigned long bytes_after = 0;
  unsigned char* data = nullptr;
  const int status = XGetWindowProperty(display_, window, net_wm_pid_, 0, 1, False, XA_CARDINAL,
                                        &type, &format, &items, &bytes_after, &data);
  std::unique_ptr<unsigned char, XFreeDeleter> owned(data);
  if (status != Success || type != XA_CARDINAL || format != 32 || items != 1) return std::nullopt;
  // Xlib hands 32-bit properties over as longs.
  return static_cast<pid_t>(*reinterpret_cast<const long*>(data));
}

std::optional<Window> Desktop::WindowOf(pid_t pid) {
  for (auto window = mapped_.rbegin(); window != mapped_.rend(); ++window) {
    if (ProcessOf(*window) == pid) return *window;
  }
  return std::nullopt;
}

bool Desktop::Manages(Window window) const {
  return std::find(mapped_.begin(), mapped_.end(), window) != mapped_.end();
}

std::string Desktop::CurrentTitle() const {
  return titles_read_.empty() ? std::string() : titles_read_.back();
}

std::optional<Desktop::Point> Desktop::PointerIn(Window window) {
  Window pointer_root = None;
  Window pointer_child = None;
  int root_x = 0, root_y = 0;
  Point point;
  unsigned int buttons = 0;
  if (!XQueryPointer(display_, window, &pointer_root, &pointer_child, &root_x, &root_y, &point.x,
                     &point.y, &buttons)) {
    return std::nullopt;
  }
  return point;
}

std::optional<Clock::time_point> Desktop::FirstReadAt(std::string_view title) const {
  const auto read = std::find(titles_read_.begin(), titles_read_.end(), title);
  if (read == titles_read_.end()) return std::nullopt;
  return titles_read_at_[static_cast<std::size_t>(read - titles_read_.begin())];
}

bool Desktop::MovePointer(Window window, int x, int y) {
  int root_x = 0;
  int root_y = 0;
  Window child = None;
  if (!XTranslateCoordinates(display_, window, root_, x, y, &root_x, &root_y, &child)) {
    return false;
  }
  // A move to where the pointer already is makes no motion event, and the click position is
  // the last motion's: step aside first so the window hears of this position.
  const std::optional<Point> before = PointerIn(window);
  if (before && before->x == x && before->y == y) {
    XTestFakeMotionEvent(display_, DefaultScreen(display_), x > 0 ? root_x - 1 : root_x + 1, root_y,
                         CurrentTime);
  }
  XTestFakeMotionEvent(display_, DefaultScreen(display_), root_x, root_y, CurrentTime);
  const std::optional<Point> after = PointerIn(window);
  return after && after->x == x && after->y == y;
}

void Desktop::ClickLeftButton() {
  XTestFakeButtonEvent(display_, 1, True, CurrentTime);
  XTestFakeButtonEvent(display_, 1, False, CurrentTime);
  XSync(display_, False);
}

bool Desktop::TakesCloseRequests(Window window) {
  Atom* protocols = nullptr;
  int count = 0;
  if (XGetWMProtocols(display_, window, &protocols, &count) == 0) return false;
  std::unique_ptr<Atom, XFreeDeleter> owned(protocols);
  return std::find(protocols, protocols + count, wm_delete_window_) != protocols + count;
}

void Desktop::SendCloseRequest(Window window) {
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = wm_protocols_;
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(wm_delete_window_);
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(display_, window, False, NoEventMask, &event);
  XFlush(display_);
}

std::optional<Capture> Desktop::CaptureWindow(Window window) {
  XWindowAttributes attributes;
  if (!XGetWindowAttributes(display_, window, &attributes)) return std::nullopt;
  XImage* image = XGetImage(display_, window, 0, 0, static_cast<unsigned>(attributes.width),
                            static_cast<unsigned>(attributes.height), AllPlanes, ZPixmap);
  if (image == nullptr) return std::nullopt;
  const bool eight_bit_channels = std::popcount(image->red_mask) == 8 &&
                                  std::popcount(image->green_mask) == 8 &&
                                  std::popcount(image->blue_mask) == 8;
  if (!eight_bit_channels) {
    XDestroyImage(image);
    throw std::runtime_error("the window's visual does not keep 8 bits a colour channel");
  }
  Capture capture{attributes.width, attributes.height, {}};
  capture.pixels.reserve(static_cast<std::size_t>(capture.width) * capture.height);
  for (int row = 0; row < capture.height; ++row) {
    for (int column = 0; column < capture.width; ++column) {
      const unsigned long pixel = XGetPixel(image, column, row);
      capture.pixels.push_back(Channel(pixel, image->red_mask) +
                               256 * Channel(pixel, image->green_mask) +
                               65536 * Channel(pixel, image->blue_mask));
    }
  }
  XDestroyImage(image);
  return capture;
}

}  // namespace fractal::e2e
