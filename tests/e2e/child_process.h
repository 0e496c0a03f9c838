// Processes the end-to-end tests start: each is owned by one object, which kills and reaps it
// when it goes, so nothing outlives a test, even one that fails half-way.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace fractal::e2e {

using Clock = std::chrono::steady_clock;

// How a process ended, as waitpid reported it.
struct ExitStatus {
  bool exited = false;  // ended through exit(), with `code`
  int code = 0;
  int signal = 0;  // the signal that ended it, when it did not exit
  std::string ToString() const;
};

class ChildProcess {
 public:
  // Starts argv[0] (a path) with the test's environment plus `extra_env` ("NAME=value", which
  // replaces any inherited value; a bare "NAME" removes it). With `quiet`, its standard output
  // and error go to /dev/null; a non-empty `error_file` takes its standard error instead.
  ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env,
               bool quiet, const std::string& error_file = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }

  // The exit status once the process has ended (reaping it); nothing while it runs.
  std::optional<ExitStatus> PollExit();
  // Waits until the process ends or the deadline passes.
  std::optional<ExitStatus> WaitForExit(Clock::time_point deadline);
  // The most memory the process has held resident so far (VmHWM), in KiB; nothing once it ended.
  std::optional<long> PeakResidentKib() const;

 private:
  pid_t pid_ = -1;
  std::optional<ExitStatus> status_;
};

}  // namespace fractal::e2e
