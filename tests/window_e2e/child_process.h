// A program started by a test, owned by it: whatever happens in the test, the process is
// stopped and reaped when its owner goes out of scope, and it dies with the test process.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace fractal::e2e {

using Clock = std::chrono::steady_clock;

struct SpawnOptions {
  std::optional<int> descriptor_as_3;  // handed to the child as its descriptor 3
  bool silence_output = false;         // stdout and stderr to /dev/null
};

class ChildProcess {
 public:
  ChildProcess() = default;
  // Starts the executable argv[0] with the environment `environment` (NAME=value entries).
  ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
               const SpawnOptions& options = {});
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  pid_t Pid() const { return pid_; }
  // Whether the process is still running; reaps it if it has ended.
  bool Running();
  // Waits until the process ends or `deadline` passes. Returns its wait status if it ended.
  std::optional<int> WaitForExit(Clock::time_point deadline);
  // When the end was first seen; valid once WaitForExit has returned a status.
  Clock::time_point EndedAt() const { return ended_at_; }
  // Asks the process to end with `signal`, waits up to `grace`, then kills it outright.
  void Stop(int signal, std::chrono::milliseconds grace);

 private:
  void Reap();
  void Release();

  pid_t pid_ = -1;
  int pidfd_ = -1;  // readable once the process has ended
  std::optional<int> status_;
  Clock::time_point ended_at_;
};

// "exited with status 3", "killed by signal 9".
std::string DescribeWaitStatus(int status);

// This process's environment with `overrides` (NAME=value) put in place of the same names.
std::vector<std::string> EnvironmentWith(const std::vector<std::string>& overrides);

}  // namespace fractal::e2e
