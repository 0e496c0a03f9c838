#include "tests/e2e/child_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace fractal::e2e {
namespace {

std::string NameOf(const std::string& assignment) {
  return assignment.substr(0, assignment.find('='));
}

// The inherited environment changed by each entry of `extra` in turn: "NAME=value" replaces any
// earlier value, a bare "NAME" removes it.
std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) merged.emplace_back(*entry);
  for (const std::string& change : extra) {
    std::erase_if(merged,
                  [&](const std::string& entry) { return NameOf(entry) == NameOf(change); });
    if (change.find('=') != std::string::npos) merged.push_back(change);
  }
  return merged;
}

std::vector<char*> PointersTo(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& text : strings) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

ExitStatus Decode(int raw) {
  ExitStatus status;
  status.exited = WIFEXITED(raw);
  if (status.exited) status.code = WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) status.signal = WTERMSIG(raw);
  return status;
}

}  // namespace

std::string ExitStatus::ToString() const {
  if (exited) return "exit status " + std::to_string(code);
  return "killed by signal " + std::to_string(signal);
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::string>& extra_env, bool quiet,
                           const std::string& error_file) {
  std::vector<std::string> arguments = argv;
  std::vector<std::string> environment = MergedEnvironment(extra_env);
  std::vector<char*> argument_pointers = PointersTo(arguments);
  std::vector<char*> environment_pointers = PointersTo(environment);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (quiet) {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  }
  if (!error_file.empty()) {
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, error_file.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
  }
  const int error = posix_spawn(&pid_, argument_pointers[0], &actions, nullptr,
                                argument_pointers.data(), environment_pointers.data());
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(error));
  }
}

ChildProcess::~ChildProcess() {
  if (status_) return;
  // Asked politely first, an X server removes its lock file and socket; a display number left
  // locked would never be free again.
  kill(pid_, SIGTERM);
  int raw = 0;
  for (int tries = 0; tries < 200; ++tries) {
    if (waitpid(pid_, &raw, WNOHANG) == pid_) return;
    usleep(10000);
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, &raw, 0);
}

std::optional<ExitStatus> ChildProcess::PollExit() {
  if (status_) return status_;
  int raw = 0;
  if (waitpid(pid_, &raw, WNOHANG) == pid_) status_ = Decode(raw);
  return status_;
}

std::optional<ExitStatus> ChildProcess::WaitForExit(Clock::time_point deadline) {
  // Polled finely: the tests time how long the process takes to end.
  for (;;) {
    if (PollExit()) return status_;
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

std::optional<long> ChildProcess::PeakResidentKib() const {
  if (status_) return std::nullopt;
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return std::nullopt;
}

}  // namespace fractal::e2e
