// Ordinary processes that keep a core busy while a benchmark times a drawing beside them, as a
// compiler or an animating browser tab would on a desktop.
#pragma once

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace fractal::bench {

class BusyProcesses {
 public:
  // Starts `count` processes, each spinning at the niceness of the thread that starts them.
  explicit BusyProcesses(int count) {
    for (int i = 0; i < count; ++i) Start();
  }
  ~BusyProcesses() { Stop(); }
  BusyProcesses(const BusyProcesses&) = delete;
  BusyProcesses& operator=(const BusyProcesses&) = delete;

  // Stops them all and reaps them; a process that ends with _Exit must call it first.
  void Stop() {
    for (const pid_t pid : pids_) kill(pid, SIGKILL);
    for (const pid_t pid : pids_) waitpid(pid, nullptr, 0);
    pids_.clear();
  }

 private:
  void Start() {
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
      std::perror("cannot start a busy process");
      std::exit(1);
    }
    if (pid == 0) Spin(parent);
    pids_.push_back(pid);
  }

  // The child of a threaded process may make only async-signal-safe calls: it spins on plain
  // arithmetic, and ends with its parent however that ends.
  [[noreturn]] static void Spin(pid_t parent) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(0);
    volatile unsigned long turns = 0;
    for (;;) turns = turns + 1;
  }

  std::vector<pid_t> pids_;
};

}  // namespace fractal::bench
