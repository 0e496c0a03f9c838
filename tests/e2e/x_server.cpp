#include "tests/e2e/x_server.h"

#include <X11/extensions/XTest.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

namespace fractal::e2e {
namespace {

constexpr int kFirstDisplay = 120;
constexpr int kDisplaysToTry = 200;
constexpr auto kServerStartDeadline = std::chrono::seconds(15);

// Counts failed requests of any connection; the tests use one connection per process at a time.
int failed_requests = 0;

int RecordError(Display*, XErrorEvent*) {
  ++failed_requests;
  return 0;
}

bool DisplayLooksFree(int number) {
  const std::string lock = "/tmp/.X" + std::to_string(number) + "-lock";
  const std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
  return access(lock.c_str(), F_OK) != 0 && access(socket.c_str(), F_OK) != 0;
}

}  // namespace

VirtualServer::VirtualServer() {
  XSetErrorHandler(RecordError);
  // Tests may run side by side: start from a number that depends on this process, and move on
  // when another server wins the race for a number.
  const int start = kFirstDisplay + static_cast<int>(getpid() % kDisplaysToTry);
  for (int attempt = 0; attempt < kDisplaysToTry; ++attempt) {
    const int number = kFirstDisplay + (start - kFirstDisplay + attempt) % kDisplaysToTry;
    if (DisplayLooksFree(number) && TryStart(number)) return;
  }
  throw std::runtime_error("no free display number for Xvfb");
}

bool VirtualServer::TryStart(int number) {
  const std::string name = ":" + std::to_string(number);
  process_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{"/usr/bin/Xvfb", name, "-screen", "0", "1024x768x24", "-nolisten",
                               "tcp", "-noreset"},
      std::vector<std::string>{}, /*quiet=*/true);
  const Clock::time_point deadline = Clock::now() + kServerStartDeadline;
  while (Clock::now() < deadline) {
    if (Display* display = XOpenDisplay(name.c_str())) {
      XCloseDisplay(display);
      display_name_ = name;
      return true;
    }
    if (process_->PollExit()) break;  // another server holds the number
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  process_.reset();
  return false;
}

std::string UnusedDisplayName() {
  // Above the numbers the tests' own servers take, so that none starts there meanwhile.
  const int first = kFirstDisplay + kDisplaysToTry;
  for (int number = first; number < first + kDisplaysToTry; ++number) {
    if (DisplayLooksFree(number)) return ":" + std::to_string(number);
  }
  throw std::runtime_error("every display number is taken");
}

Connection::Connection(const std::string& display_name) {
  display_ = XOpenDisplay(display_name.c_str());
  if (display_ == nullptr) throw std::runtime_error("cannot connect to " + display_name);
}

Connection::~Connection() { XCloseDisplay(display_); }

bool Connection::SyncWithoutErrors() {
  XSync(display_, False);
  const bool clean = failed_requests == 0;
  failed_requests = 0;
  return clean;
}

std::size_t FloodPointerOver(
    Display* display, int left, int top, int size, Clock::duration duration,
    const std::function<void(std::size_t sent, Clock::time_point end)>& pace) {
  // Round trips only every so many motions: the server then takes them as fast as it can.
  constexpr std::size_t kMotionsPerSync = 64;
  const Clock::time_point end = Clock::now() + duration;
  std::size_t sent = 0;
  while (Clock::now() < end) {
    for (std::size_t i = 0; i < kMotionsPerSync; ++i, ++sent) {
      // Every motion lands on another pixel, so that each one is reported.
      const int column = static_cast<int>(sent * 7 % (size - 2)) + 1;
      const int row = static_cast<int>(sent * 13 % (size - 2)) + 1;
      XTestFakeMotionEvent(display, DefaultScreen(display), left + column, top + row, CurrentTime);
    }
    XSync(display, False);
    if (pace) pace(sent, end);
  }
  return sent;
}

}  // namespace fractal::e2e
