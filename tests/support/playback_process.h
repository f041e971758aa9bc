// A child process that a playback test starts itself (the loopback HTTP
// server, Icecast, ffmpeg) and ends again by its PID.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace wavecrate::test {

class TPlaybackProcess {
 public:
  // Starts argv[0] (searched in PATH) with the given arguments. Its standard
  // error, and its standard output unless captured, go to logPath ("" for
  // /dev/null). With captureStdout, ReadLine reads the child's output.
  TPlaybackProcess(const std::vector<std::string>& argv, const std::string& logPath,
                   bool captureStdout = false);
  // Stops the child: SIGTERM, then SIGKILL after two seconds.
  ~TPlaybackProcess();
  TPlaybackProcess(const TPlaybackProcess&) = delete;
  TPlaybackProcess& operator=(const TPlaybackProcess&) = delete;

  pid_t Pid() const { return pid_; }
  // Whether the child is still running.
  bool Running();
  // One line of the captured standard output, without its line end; "" when
  // none arrived within the time-out or the child closed it.
  std::string ReadLine(int timeoutMs);
  void Stop();

 private:
  pid_t pid_ = -1;
  int stdoutFd_ = -1;
  bool reaped_ = false;
};

// The first of /usr/bin/python3 and python3 on PATH.
std::string PlaybackPython();
// A TCP port on 127.0.0.1 that nothing listens on right now.
int PlaybackFreePort();

}  // namespace wavecrate::test
