// Starts a helper process for a test (a private bus, a mock service, the
// program itself) and ends exactly that process again.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace wavecrate::test {

class Subprocess {
 public:
  // argv[0] is looked up on PATH. `env` entries ("NAME=value") are added to
  // this process's environment. Standard output goes to `stdoutPath` when
  // given (else it is inherited).
  Subprocess(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
             const std::string& stdoutPath = "");
  ~Subprocess();  // SIGTERM, then SIGKILL after a second
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;

  pid_t Pid() const { return pid_; }
  void Signal(int signalNumber) const;
  // Waits for the process to end; returns its exit status (or -signal), or
  // nullopt-like INT_MIN on a time-out.
  int Wait(std::chrono::milliseconds timeout);
  bool Running();

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;
};

// Output of a shell command ("" when it fails).
std::string Shell(const std::string& command);

// Polls `ready` every 20 ms until it returns true or the time-out passes.
template <typename F>
bool WaitUntil(F ready, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (ready()) return true;
    struct timespec ts {
      0, 20 * 1000 * 1000
    };
    nanosleep(&ts, nullptr);
  }
  return ready();
}

}  // namespace wavecrate::test
