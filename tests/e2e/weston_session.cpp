#include "tests/e2e/weston_session.h"

#include <X11/extensions/XTest.h>
#include <png.h>
#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fractal::e2e {
namespace {

constexpr int kOutputWidth = 640;
constexpr int kOutputHeight = 480;
constexpr char kSocketName[] = "fractal-e2e";
constexpr auto kCompositorDeadline = std::chrono::seconds(30);
constexpr auto kScreenshotDeadline = std::chrono::seconds(10);
// How many motions of a flood may be on their way to the viewer. The X server takes motions
// many times faster than weston does, and would otherwise pile up millions in front of it; and
// weston (libwayland-server before 1.23) drops a client whose socket is full, which a few hundred
// motions sent one by one fill: a client descheduled for a few milliseconds on a busy machine
// would be dropped for it.
constexpr std::size_t kMotionsInFlight = 128;
// How long the viewer's pointer may take to report a move before the move is made again.
constexpr auto kPointerReportWait = std::chrono::seconds(2);
// A point of the Xvfb screen beyond weston's window.
constexpr OutputPoint kOutside{kOutputWidth + 16, kOutputHeight + 16};

// Pixels of `want` that are not black, about a hundred of them spread over the picture: a place
// where they all match is worth comparing whole.
std::vector<std::size_t> ProbesOf(const Picture& want) {
  std::vector<std::size_t> probes;
  for (std::size_t i = 0; i < want.size(); i += 1601) {
    if (want[i] != 0) probes.push_back(i);
  }
  return probes;
}

bool NearPointer(int x, int y, OutputPoint pointer) {
  return x >= pointer.x - kPointerReach && x < pointer.x + kPointerReach &&
         y >= pointer.y - kPointerReach && y < pointer.y + kPointerReach;
}

std::optional<Screen> ReadPng(const std::filesystem::path& path) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_file(&image, path.c_str()) == 0) return std::nullopt;
  image.format = PNG_FORMAT_RGB;
  std::vector<png_byte> rgb(PNG_IMAGE_SIZE(image));
  if (png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr) == 0) return std::nullopt;
  Screen screen{static_cast<int>(image.width), static_cast<int>(image.height), {}};
  screen.pixels.resize(rgb.size() / 3);
  for (std::size_t i = 0; i < screen.pixels.size(); ++i) {
    screen.pixels[i] = rgb[3 * i] + 256 * rgb[3 * i + 1] + 65536 * rgb[3 * i + 2];
  }
  return screen;
}

}  // namespace

std::optional<OutputPoint> FindPicture(const Screen& screen, const Picture& want,
                                       OutputPoint pointer) {
  const std::vector<std::size_t> probes = ProbesOf(want);
  for (int top = 0; top + kSurfaceSize <= screen.height; ++top) {
    for (int left = 0; left + kSurfaceSize <= screen.width; ++left) {
      bool matches = true;
      for (std::size_t i = 0; matches && i < probes.size(); ++i) {
        const int x = left + static_cast<int>(probes[i] % kSurfaceSize);
        const int y = top + static_cast<int>(probes[i] / kSurfaceSize);
        matches = NearPointer(x, y, pointer) || screen.At(x, y) == want[probes[i]];
      }
      if (matches && DifferenceAt(screen, {left, top}, want, pointer).empty()) {
        return OutputPoint{left, top};
      }
    }
  }
  return std::nullopt;
}

std::string DifferenceAt(const Screen& screen, OutputPoint origin, const Picture& want,
                         OutputPoint pointer) {
  if (origin.x < 0 || origin.y < 0 || origin.x + kSurfaceSize > screen.width ||
      origin.y + kSurfaceSize > screen.height) {
    return "the picture would stand outside the output";
  }
  std::size_t differing = 0;
  std::string first;
  for (int row = 0; row < kSurfaceSize; ++row) {
    for (int column = 0; column < kSurfaceSize; ++column) {
      const int x = origin.x + column;
      const int y = origin.y + row;
      const Colour expected = want[static_cast<std::size_t>(row) * kSurfaceSize + column];
      if (NearPointer(x, y, pointer) || screen.At(x, y) == expected) continue;
      if (differing++ == 0) {
        first = "row " + std::to_string(row) + " column " + std::to_string(column) + ": got " +
                std::to_string(screen.At(x, y)) + ", want " + std::to_string(expected);
      }
    }
  }
  if (differing == 0) return "";
  return std::to_string(differing) + " pixels differ; the first at " + first;
}

WestonSession::WestonSession(const std::vector<std::string>& viewer_env)
    : connection_(server_.display_name()) {
  std::string runtime_dir = "/tmp/fractal-wayland-XXXXXX";
  if (mkdtemp(runtime_dir.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  runtime_dir_ = runtime_dir;
  const std::string xdg = "XDG_RUNTIME_DIR=" + runtime_dir;
  // No configuration and no idle time: the output never blanks, and a blank output never
  // repaints, so a screenshot would wait forever.
  weston_.emplace(
      std::vector<std::string>{
          "/usr/bin/weston", "--backend=x11-backend.so", "--use-pixman",
          "--width=" + std::to_string(kOutputWidth), "--height=" + std::to_string(kOutputHeight),
          std::string("--socket=") + kSocketName, "--no-config", "--idle-time=0", "--debug"},
      std::vector<std::string>{"DISPLAY=" + server_.display_name(), xdg}, /*quiet=*/true,
      (runtime_dir_ / "weston.log").string());
  if (!WaitForCompositor(Clock::now() + kCompositorDeadline)) {
    throw std::runtime_error("weston did not start");
  }
  // The pointer starts outside the output, away from any window.
  if (!MoveXPointer(kOutside, Clock::now() + kCompositorDeadline)) {
    throw std::runtime_error("the pointer cannot be moved");
  }
  // The viewer logs its Wayland requests, and so the titles it sets, to its standard error.
  std::vector<std::string> env = {xdg, std::string("WAYLAND_DISPLAY=") + kSocketName,
                                  "SDL_VIDEODRIVER=wayland", "WAYLAND_DEBUG=client"};
  env.insert(env.end(), viewer_env.begin(), viewer_env.end());
  // Through a shell that gives way to the viewer: the process is the viewer's, its standard
  // error a file the test can read.
  log_.emplace(runtime_dir_ / "viewer.err");
  viewer_.emplace(std::vector<std::string>{"/bin/sh", "-c", "exec \"$0\" 2>\"$1\"", ViewerPath(),
                                           (runtime_dir_ / "viewer.err").string()},
                  env, /*quiet=*/false);
}

WestonSession::~WestonSession() {
  viewer_.reset();
  weston_.reset();
  std::error_code ignored;
  std::filesystem::remove_all(runtime_dir_, ignored);
}

const WaylandLog& WestonSession::ViewerLog() {
  log_->Update();
  return *log_;
}

std::string WestonSession::ViewerErrors() { return ViewerLog().errors(); }

std::vector<std::string> WestonSession::TitlesSet() { return ViewerLog().titles(); }

// Ready once a screenshot can be taken: the socket is there and the shell has drawn the output.
bool WestonSession::WaitForCompositor(Clock::time_point deadline) {
  while (Clock::now() < deadline) {
    if (weston_->PollExit()) return false;
    if (std::filesystem::exists(runtime_dir_ / kSocketName) && Screenshot()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::optional<Screen> WestonSession::Screenshot() {
  // weston-screenshooter writes into its working folder, a file named after the second it was
  // taken: each screenshot gets a folder of its own.
  const std::filesystem::path folder = runtime_dir_ / ("shot" + std::to_string(screenshots_++));
  std::filesystem::create_directory(folder);
  ChildProcess shooter(
      {"/bin/sh", "-c", "cd \"$0\" && exec weston-screenshooter", folder.string()},
      {"XDG_RUNTIME_DIR=" + runtime_dir_.string(), std::string("WAYLAND_DISPLAY=") + kSocketName},
      /*quiet=*/true);
  const std::optional<ExitStatus> status = shooter.WaitForExit(Clock::now() + kScreenshotDeadline);
  std::optional<Screen> screen;
  if (status && status->exited && status->code == 0) {
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      screen = ReadPng(entry.path());
    }
  }
  std::filesystem::remove_all(folder);
  return screen;
}

std::optional<OutputPoint> WestonSession::WaitForPicture(const Picture& want,
                                                         Clock::time_point deadline, Screen& last) {
  for (;;) {
    if (std::optional<Screen> screen = Screenshot()) {
      last = std::move(*screen);
      if (std::optional<OutputPoint> origin = FindPicture(last, want, pointer_)) {
        content_origin_ = origin;
        return origin;
      }
    }
    if (Clock::now() >= deadline) return std::nullopt;
  }
}

bool WestonSession::WaitForPictureAt(OutputPoint origin, const Picture& want,
                                     Clock::time_point deadline, Screen& last) {
  for (;;) {
    if (std::optional<Screen> screen = Screenshot()) {
      last = std::move(*screen);
      if (DifferenceAt(last, origin, want, pointer_).empty()) return true;
    }
    if (Clock::now() >= deadline) return false;
  }
}

// weston's window is the Xvfb's only top-level window; without a window manager it has no frame.
OutputPoint WestonSession::OutputOrigin() {
  Display* display = connection_.get();
  Window root = None;
  Window parent = None;
  Window* children = nullptr;
  unsigned int count = 0;
  OutputPoint origin;
  if (XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count) != 0 &&
      count > 0) {
    Window child = None;
    XTranslateCoordinates(display, children[count - 1], root, 0, 0, &origin.x, &origin.y, &child);
  }
  if (children != nullptr) XFree(children);
  return origin;
}

bool WestonSession::MoveXPointer(OutputPoint point, Clock::time_point deadline) {
  Display* display = connection_.get();
  const OutputPoint origin = OutputOrigin();
  const int root_x = origin.x + point.x;
  const int root_y = origin.y + point.y;
  XTestFakeMotionEvent(display, DefaultScreen(display), root_x, root_y, CurrentTime);
  XFlush(display);
  pointer_ = point;
  for (;;) {
    Window root = None;
    Window child = None;
    int x = 0;
    int y = 0;
    int window_x = 0;
    int window_y = 0;
    unsigned int buttons = 0;
    XQueryPointer(display, DefaultRootWindow(display), &root, &child, &x, &y, &window_x, &window_y,
                  &buttons);
    if (connection_.SyncWithoutErrors() && x == root_x && y == root_y) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// weston's X11 backend moves its pointer by the differences between the X pointer's positions,
// and takes a position whole only when the X pointer enters its window. The pointer leaves the
// window and comes back, so that weston's pointer stands exactly where the X pointer does.
bool WestonSession::MovePointer(OutputPoint point, Clock::time_point deadline) {
  return MoveXPointer(kOutside, deadline) && MoveXPointer(point, deadline);
}

// Only a report that came after the move counts: the pointer may have stood there before.
bool WestonSession::ViewerPointerReaches(ContentPosition want, std::size_t events_before,
                                         Clock::time_point deadline) {
  for (;;) {
    const WaylandLog& log = ViewerLog();
    const std::optional<ContentPosition> at = log.Pointer();
    if (log.pointer_events() > events_before && at && at->x == want.x && at->y == want.y) {
      return true;
    }
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

bool WestonSession::PointViewerAt(OutputPoint point, Clock::time_point deadline) {
  if (!content_origin_) return false;
  const ContentPosition want{static_cast<double>(point.x - content_origin_->x),
                             static_cast<double>(point.y - content_origin_->y)};
  for (;;) {
    const std::size_t events_before = ViewerLog().pointer_events();
    if (!MovePointer(point, deadline)) return false;
    if (ViewerPointerReaches(want, events_before,
                             std::min(deadline, Clock::now() + kPointerReportWait))) {
      return true;
    }
    if (Clock::now() >= deadline) return false;
    ++pointer_moves_repeated_;
  }
}

bool WestonSession::Click() {
  Display* display = connection_.get();
  XTestFakeButtonEvent(display, 1, True, CurrentTime);
  XTestFakeButtonEvent(display, 1, False, CurrentTime);
  return connection_.SyncWithoutErrors();
}

bool WestonSession::ClickAt(OutputPoint point, Clock::time_point deadline) {
  return PointViewerAt(point, deadline) && Click();
}

std::size_t WestonSession::FloodPointer(Clock::duration duration) {
  if (!content_origin_) return 0;
  const OutputPoint output = OutputOrigin();
  const std::size_t received_before = ViewerLog().pointer_motions();
  // Held back until the viewer has received all but the last few motions: as fast as weston
  // passes them on, with some always waiting for it.
  auto pace = [&](std::size_t sent, Clock::time_point end) {
    while (sent > kMotionsInFlight + ViewerLog().pointer_motions() - received_before &&
           Clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  };
  return FloodPointerOver(connection_.get(), output.x + content_origin_->x,
                          output.y + content_origin_->y, kSurfaceSize, duration, pace);
}

}  // namespace fractal::e2e
