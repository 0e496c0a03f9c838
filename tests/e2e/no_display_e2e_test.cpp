// Without a window system to show its window on, the viewer says so and ends; only a driver the
// user names may run it unseen.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/e2e/child_process.h"
#include "tests/e2e/x_server.h"

namespace fractal::e2e {
namespace {

constexpr auto kEndBound = std::chrono::seconds(1);
constexpr auto kExitDeadline = std::chrono::seconds(10);

class NoDisplay : public ::testing::Test {
 protected:
  NoDisplay() {
    char name[] = "/tmp/fractal-no-display-XXXXXX";
    if (mkdtemp(name) == nullptr) throw std::runtime_error("cannot make a folder");
    folder_ = name;
  }
  ~NoDisplay() override { std::filesystem::remove_all(folder_); }

  // The test's environment less SDL_VIDEODRIVER, with DISPLAY naming no X server, and a runtime
  // folder without a Wayland compositor in it; `extra` changes it further.
  std::vector<std::string> Environment(const std::vector<std::string>& extra) const {
    std::vector<std::string> environment{"SDL_VIDEODRIVER", "DISPLAY=" + UnusedDisplayName(),
                                         "XDG_RUNTIME_DIR=" + folder_.string(),
                                         "WAYLAND_DISPLAY=fractal-no-compositor"};
    environment.insert(environment.end(), extra.begin(), extra.end());
    return environment;
  }

  std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& extra) {
    return std::make_unique<ChildProcess>(std::vector<std::string>{FRACTAL_VIEWER_PATH},
                                          Environment(extra), /*quiet=*/false, ErrorFile());
  }

  // Starts the viewer, expects it to end with status 1 within a second, and returns the lines
  // it wrote to stderr.
  std::vector<std::string> ExpectFailedStart(const std::vector<std::string>& extra) {
    const Clock::time_point started = Clock::now();
    std::unique_ptr<ChildProcess> viewer = Start(extra);
    const std::optional<ExitStatus> status = viewer->WaitForExit(started + kExitDeadline);
    const auto took = std::chrono::duration<double, std::milli>(Clock::now() - started);
    EXPECT_TRUE(status) << "the viewer runs unseen";
    if (status) {
      EXPECT_TRUE(status->exited && status->code == 1) << status->ToString();
    }
    EXPECT_LT(took, kEndBound);
    std::cout << "ended after " << took.count() << " ms\n";
    return ErrorLines();
  }

  std::vector<std::string> ErrorLines() const {
    std::ifstream errors(ErrorFile());
    std::vector<std::string> lines;
    for (std::string line; std::getline(errors, line);) lines.push_back(line);
    return lines;
  }

  std::string ErrorFile() const { return (folder_ / "stderr").string(); }

  std::filesystem::path folder_;
};

// One line, naming both variables and what they hold.
void ExpectOneLineNaming(const std::vector<std::string>& lines, const std::string& display,
                         const std::string& wayland_display) {
  ASSERT_EQ(lines.size(), 1u) << ::testing::PrintToString(lines);
  EXPECT_NE(lines[0].find(display), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find(wayland_display), std::string::npos) << lines[0];
}

TEST_F(NoDisplay, NeitherAnXServerNorACompositorEndsWithOneLineNamingBoth) {
  const std::string display = UnusedDisplayName();
  const std::vector<std::string> lines = ExpectFailedStart({"DISPLAY=" + display});
  ExpectOneLineNaming(lines, "DISPLAY=" + display, "WAYLAND_DISPLAY=fractal-no-compositor");
}

// No runtime folder either: the Wayland client library is not asked, and says nothing.
TEST_F(NoDisplay, NothingSetEndsWithOneLineNamingBoth) {
  const std::vector<std::string> lines =
      ExpectFailedStart({"DISPLAY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR"});
  ExpectOneLineNaming(lines, "DISPLAY unset", "WAYLAND_DISPLAY unset");
}

TEST_F(NoDisplay, ExplicitX11DriverWithoutAServerEndsTheSameWay) {
  const std::string display = UnusedDisplayName();
  const std::vector<std::string> lines =
      ExpectFailedStart({"DISPLAY=" + display, "SDL_VIDEODRIVER=x11"});
  ExpectOneLineNaming(lines, "DISPLAY=" + display, "WAYLAND_DISPLAY");
}

// The user asked for a driver that shows nothing: the viewer runs, and SIGTERM ends it.
TEST_F(NoDisplay, DummyDriverNamedByTheUserRuns) {
  std::unique_ptr<ChildProcess> viewer = Start({"SDL_VIDEODRIVER=dummy"});
  EXPECT_FALSE(viewer->WaitForExit(Clock::now() + kEndBound)) << "the viewer ended";
  EXPECT_TRUE(ErrorLines().empty()) << ::testing::PrintToString(ErrorLines());
  ASSERT_EQ(kill(viewer->pid(), SIGTERM), 0);
  const std::optional<ExitStatus> status = viewer->WaitForExit(Clock::now() + kExitDeadline);
  ASSERT_TRUE(status) << "SIGTERM did not end the viewer";
  EXPECT_TRUE(status->exited && status->code == 0) << status->ToString();
}

}  // namespace
}  // namespace fractal::e2e
