#include "tests/window_e2e/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace fractal::e2e {
namespace {

constexpr int kUnknownStatus = -1;

std::vector<char*> NullTerminated(const std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (const std::string& s : strings) pointers.push_back(const_cast<char*>(s.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

// Runs in the child between fork and exec, so only async-signal-safe calls.
[[noreturn]] void BecomeChild(pid_t parent, char* const* argv, char* const* envp,
                              const SpawnOptions& options) {
  // A test process that dies for any reason takes its servers and viewers with it.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(127);
  if (options.descriptor_as_3) {
    if (*options.descriptor_as_3 == 3) {
      fcntl(3, F_SETFD, 0);
    } else {
      dup2(*options.descriptor_as_3, 3);
    }
  }
  if (options.silence_output) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
  }
  execve(argv[0], argv, envp);
  _exit(127);
}

int MillisecondsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::string>& environment,
                           const SpawnOptions& options) {
  const std::vector<char*> args = NullTerminated(argv);
  const std::vector<char*> envp = NullTerminated(environment);
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  if (pid_ == 0) BecomeChild(parent, args.data(), envp.data(), options);
  // The pid cannot be reused before this process reaps it, so the descriptor names this child.
  pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
  if (pidfd_ < 0) {
    const std::string error = std::strerror(errno);
    Stop(SIGKILL, std::chrono::milliseconds(0));
    throw std::runtime_error("pidfd_open: " + error);
  }
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept { *this = std::move(other); }

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    Release();
    pid_ = std::exchange(other.pid_, -1);
    pidfd_ = std::exchange(other.pidfd_, -1);
    status_ = std::exchange(other.status_, std::nullopt);
    ended_at_ = other.ended_at_;
  }
  return *this;
}

ChildProcess::~ChildProcess() { Release(); }

void ChildProcess::Release() {
  if (pid_ > 0 && !status_) Stop(SIGKILL, std::chrono::milliseconds(0));
  if (pidfd_ >= 0) close(pidfd_);
  pid_ = -1;
  pidfd_ = -1;
}

bool ChildProcess::Running() {
  if (pid_ <= 0 || status_) return false;
  return !WaitForExit(Clock::now());
}

std::optional<int> ChildProcess::WaitForExit(Clock::time_point deadline) {
  if (status_ || pid_ <= 0) return status_;
  pollfd ended{pidfd_, POLLIN, 0};
  for (;;) {
    const int ready = poll(&ended, 1, MillisecondsUntil(deadline));
    if (ready > 0) break;
    if (ready == 0) return std::nullopt;
    if (errno != EINTR) throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
  }
  ended_at_ = Clock::now();
  Reap();
  return status_;
}

void ChildProcess::Reap() {
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0) {
    if (errno != EINTR) {
      status = kUnknownStatus;  // not ours to wait for any more; nothing is left to clean up
      break;
    }
  }
  status_ = status;
}

void ChildProcess::Stop(int signal, std::chrono::milliseconds grace) {
  if (pid_ <= 0 || status_) return;
  kill(pid_, signal);
  if (pidfd_ >= 0 && WaitForExit(Clock::now() + grace)) return;
  kill(pid_, SIGKILL);
  Reap();
}

std::string DescribeWaitStatus(int status) {
  if (status == kUnknownStatus) return "ended, status unknown";
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  return "ended with wait status " + std::to_string(status);
}

std::vector<std::string> EnvironmentWith(const std::vector<std::string>& overrides) {
  const auto name_of = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  std::vector<std::string> result = overrides;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string inherited(*entry);
    const bool overridden = std::any_of(overrides.begin(), overrides.end(), [&](const auto& o) {
      return name_of(o) == name_of(inherited);
    });
    if (!overridden) result.push_back(inherited);
  }
  return result;
}

}  // namespace fractal::e2e
