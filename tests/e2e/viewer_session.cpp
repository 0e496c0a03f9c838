#include "tests/e2e/viewer_session.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <poll.h>

#include <bit>
#include <cstdlib>
#include <stdexcept>

#include "support/surface_difference.h"

namespace fractal::e2e {
namespace {

// How long one wait for X events lasts before the condition is looked at again.
constexpr int kPollSliceMs = 2;

Atom AtomNamed(Display* display, const char* name) { return XInternAtom(display, name, False); }

std::optional<unsigned long> ProcessIdOf(Display* display, Window window) {
  Atom type = None;
  int format = 0;
  unsigned long items = 0;
  unsigned long remaining = 0;
  unsigned char* data = nullptr;
  const int result =
      XGetWindowProperty(display, window, AtomNamed(display, "_NET_WM_PID"), 0, 1, False,
                         XA_CARDINAL, &type, &format, &items, &remaining, &data);
  std::optional<unsigned long> pid;
  if (result == Success && type == XA_CARDINAL && format == 32 && items == 1) {
    pid = *reinterpret_cast<unsigned long*>(data);
  }
  if (data != nullptr) XFree(data);
  return pid;
}

std::optional<std::string> Utf8TitleOf(Display* display, Window window) {
  Atom type = None;
  int format = 0;
  unsigned long items = 0;
  unsigned long remaining = 0;
  unsigned char* data = nullptr;
  const int result = XGetWindowProperty(display, window, AtomNamed(display, "_NET_WM_NAME"), 0,
                                        1024, False, AtomNamed(display, "UTF8_STRING"), &type,
                                        &format, &items, &remaining, &data);
  std::optional<std::string> title;
  if (result == Success && data != nullptr && format == 8) {
    title = std::string(reinterpret_cast<char*>(data), items);
  }
  if (data != nullptr) XFree(data);
  return title;
}

// One colour channel of a pixel, scaled to 8 bits by the channel's mask.
Colour Channel(unsigned long pixel, unsigned long mask) {
  if (mask == 0) return 0;
  const int shift = std::countr_zero(mask);
  return static_cast<Colour>((pixel & mask) >> shift);
}

}  // namespace

std::string ViewerPath() {
  const char* chosen = std::getenv("FRACTAL_VIEWER");
  return chosen != nullptr && *chosen != '\0' ? chosen : FRACTAL_VIEWER_PATH;
}

ViewerSession::ViewerSession()
    : connection_(server_.display_name()),
      viewer_({ViewerPath()}, {"DISPLAY=" + server_.display_name()}, /*quiet=*/false) {}

bool ViewerSession::WaitForWindow(Clock::time_point deadline) {
  return PollUntil(deadline, [this] { return HaveWindow(); });
}

std::optional<std::string> ViewerSession::Title() {
  HandlePendingEvents();
  if (!HaveWindow()) return std::nullopt;
  RecordTitle();
  if (window_ == None) return std::nullopt;
  return titles_seen_.back();
}

bool ViewerSession::WaitForTitle(const std::string& caption, Clock::time_point deadline) {
  return PollUntil(deadline, [&] { return Title() == caption; });
}

std::optional<Clock::time_point> ViewerSession::WaitForDrawingStart(std::size_t already_seen,
                                                                    Clock::time_point deadline) {
  std::optional<Clock::time_point> started;
  PollUntil(deadline, [&] {
    for (std::size_t i = already_seen; i < title_settings_.size() && !started; ++i) {
      if (title_settings_[i].title == kDrawingCaption) started = title_settings_[i].seen;
    }
    return started.has_value();
  });
  return started;
}

std::optional<Picture> ViewerSession::Capture() {
  if (!HaveWindow()) return std::nullopt;
  Display* display = connection_.get();
  XImage* image = XGetImage(display, window_, 0, 0, kSurfaceSize, kSurfaceSize, AllPlanes, ZPixmap);
  const bool clean = connection_.SyncWithoutErrors();
  if (image == nullptr || !clean) {
    if (image != nullptr) XDestroyImage(image);
    window_ = None;
    return std::nullopt;
  }
  if (image->depth != 24) {
    XDestroyImage(image);
    throw std::runtime_error("the window is not 24 bits deep");
  }
  Picture picture(static_cast<std::size_t>(kSurfaceSize) * kSurfaceSize);
  for (int row = 0; row < kSurfaceSize; ++row) {
    for (int column = 0; column < kSurfaceSize; ++column) {
      const unsigned long pixel = XGetPixel(image, column, row);
      picture[static_cast<std::size_t>(row) * kSurfaceSize + column] =
          Channel(pixel, image->red_mask) + 256 * Channel(pixel, image->green_mask) +
          65536 * Channel(pixel, image->blue_mask);
    }
  }
  XDestroyImage(image);
  return picture;
}

bool ViewerSession::WaitForReadyPicture(const std::function<bool(const Picture&)>& matches,
                                        Clock::time_point deadline, Picture& last) {
  return PollUntil(deadline, [&] {
    if (Title() != kReadyCaption) return false;
    std::optional<Picture> picture = Capture();
    if (!picture) return false;
    last = std::move(*picture);
    return matches(last);
  });
}

bool ViewerSession::MovePointer(int column, int row, Clock::time_point deadline) {
  Display* display = connection_.get();
  auto pointer_at = [&](int x, int y) {
    Window root = None;
    Window child = None;
    int root_x = 0;
    int root_y = 0;
    int window_x = 0;
    int window_y = 0;
    unsigned int buttons = 0;
    if (!HaveWindow()) return false;
    const bool same_screen = XQueryPointer(display, window_, &root, &child, &root_x, &root_y,
                                           &window_x, &window_y, &buttons);
    return connection_.SyncWithoutErrors() && same_screen && window_x == x && window_y == y;
  };
  auto move_to = [&](int x, int y) {
    int root_x = 0;
    int root_y = 0;
    Window child = None;
    if (!HaveWindow()) return false;
    XTranslateCoordinates(display, window_, DefaultRootWindow(display), x, y, &root_x, &root_y,
                          &child);
    XTestFakeMotionEvent(display, DefaultScreen(display), root_x, root_y, CurrentTime);
    XFlush(display);
    return PollUntil(deadline, [&] { return pointer_at(x, y); });
  };
  // The viewer takes a click's position from the last movement it saw: when the pointer is
  // already on the pixel, it steps aside first so that the arrival is a movement too.
  if (pointer_at(column, row) && !move_to(column == 0 ? 1 : column - 1, row)) return false;
  return move_to(column, row);
}

bool ViewerSession::ClickAt(int column, int row, Clock::time_point deadline) {
  if (!MovePointer(column, row, deadline)) return false;
  Display* display = connection_.get();
  XTestFakeButtonEvent(display, 1, True, CurrentTime);
  XTestFakeButtonEvent(display, 1, False, CurrentTime);
  return connection_.SyncWithoutErrors();
}

bool ViewerSession::SendCloseRequest() {
  if (!HaveWindow()) return false;
  Display* display = connection_.get();
  const Atom delete_window = AtomNamed(display, "WM_DELETE_WINDOW");
  // A window manager offers the close box only to a window that takes part in the protocol.
  Atom* protocols = nullptr;
  int count = 0;
  bool takes_part = false;
  if (XGetWMProtocols(display, window_, &protocols, &count) != 0) {
    for (int i = 0; i < count; ++i) takes_part = takes_part || protocols[i] == delete_window;
    XFree(protocols);
  }
  if (!takes_part) return false;
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window_;
  event.xclient.message_type = AtomNamed(display, "WM_PROTOCOLS");
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(delete_window);
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(display, window_, False, NoEventMask, &event);
  XFlush(display);
  return connection_.SyncWithoutErrors();
}

std::size_t ViewerSession::FloodPointer(Clock::duration duration) {
  if (!HaveWindow()) return 0;
  Display* display = connection_.get();
  int left = 0;
  int top = 0;
  Window child = None;
  XTranslateCoordinates(display, window_, DefaultRootWindow(display), 0, 0, &left, &top, &child);
  return FloodPointerOver(display, left, top, kSurfaceSize, duration);
}

Window ViewerSession::FindViewerWindow(Window parent) {
  Display* display = connection_.get();
  Window root = None;
  Window grandparent = None;
  Window* children = nullptr;
  unsigned int count = 0;
  if (XQueryTree(display, parent, &root, &grandparent, &children, &count) == 0) return None;
  Window found = None;
  // Children come bottom to top; the topmost match wins.
  for (unsigned int i = 0; i < count; ++i) {
    XWindowAttributes attributes;
    const Window child = children[i];
    if (XGetWindowAttributes(display, child, &attributes) != 0 &&
        attributes.map_state == IsViewable && attributes.width == kSurfaceSize &&
        attributes.height == kSurfaceSize &&
        ProcessIdOf(display, child) == static_cast<unsigned long>(viewer_.pid())) {
      found = child;
    } else if (Window inner = FindViewerWindow(child); inner != None) {
      found = inner;
    }
  }
  if (children != nullptr) XFree(children);
  return found;
}

bool ViewerSession::HaveWindow() {
  if (window_ != None) return true;
  const Window found = FindViewerWindow(DefaultRootWindow(connection_.get()));
  // A window that vanished during the walk leaves errors behind; the walk is tried again later.
  if (!connection_.SyncWithoutErrors() || found == None) return false;
  Watch(found);
  return window_ != None;
}

void ViewerSession::Watch(Window window) {
  XSelectInput(connection_.get(), window, PropertyChangeMask | StructureNotifyMask);
  window_ = window;
  RecordTitle();
}

void ViewerSession::RecordTitle() {
  std::optional<std::string> title = Utf8TitleOf(connection_.get(), window_);
  if (!connection_.SyncWithoutErrors() || !title) {
    window_ = None;
    return;
  }
  if (titles_seen_.empty() || titles_seen_.back() != *title) titles_seen_.push_back(*title);
}

void ViewerSession::HandlePendingEvents() {
  Display* display = connection_.get();
  const Atom net_name = AtomNamed(display, "_NET_WM_NAME");
  while (XPending(display) > 0) {
    XEvent event;
    XNextEvent(display, &event);
    if (event.xany.window != window_ || window_ == None) continue;
    if (event.type == DestroyNotify || event.type == UnmapNotify) {
      window_ = None;  // the viewer may have replaced its window; it is looked up again
    } else if (event.type == PropertyNotify && event.xproperty.atom == net_name) {
      RecordTitle();
      if (window_ != None) title_settings_.push_back({Clock::now(), titles_seen_.back()});
    }
  }
}

bool ViewerSession::PollUntil(Clock::time_point deadline, const std::function<bool()>& done) {
  for (;;) {
    if (done()) return true;
    if (Clock::now() >= deadline) return false;
    pollfd connection{ConnectionNumber(connection_.get()), POLLIN, 0};
    poll(&connection, 1, kPollSliceMs);
    HandlePendingEvents();
  }
}

std::string DescribeDifference(const Picture& got, const Picture& want) {
  return testing::DescribeDifference(got, want, kSurfaceSize);
}

}  // namespace fractal::e2e
