#include "support/playback_process.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

namespace wavecrate::test {

TPlaybackProcess::TPlaybackProcess(const std::vector<std::string>& argv, const std::string& logPath,
                                   bool captureStdout) {
  if (argv.empty()) throw std::invalid_argument("no program to start");
  int pipeFds[2] = {-1, -1};
  if (captureStdout && pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const std::string log = logPath.empty() ? "/dev/null" : logPath;
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    // The child: only async-signal-safe calls until exec.
    const int logFd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    const int nullFd = open("/dev/null", O_RDONLY);
    if (nullFd >= 0) dup2(nullFd, 0);
    if (logFd >= 0) {
      dup2(logFd, 2);
      if (!captureStdout) dup2(logFd, 1);
    }
    if (captureStdout) dup2(pipeFds[1], 1);
    // Its own process group, so a terminal's Ctrl+C goes to the test alone;
    // and ended with the test should the test be killed (a server that drops
    // root loses this, which is why the destructor still stops it).
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    execvp(args[0], args.data());
    _exit(127);
  }
  if (captureStdout) {
    close(pipeFds[1]);
    stdoutFd_ = pipeFds[0];
  }
}

TPlaybackProcess::~TPlaybackProcess() {
  Stop();
  if (stdoutFd_ >= 0) close(stdoutFd_);
}

bool TPlaybackProcess::Running() {
  if (reaped_ || pid_ <= 0) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    reaped_ = true;
    return false;
  }
  return true;
}

std::string TPlaybackProcess::ReadLine(int timeoutMs) {
  if (stdoutFd_ < 0) return "";
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (true) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return "";
    pollfd p{stdoutFd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char c = 0;
    const ssize_t n = read(stdoutFd_, &c, 1);
    if (n <= 0) return "";
    if (c == '\n') return line;
    line += c;
  }
}

void TPlaybackProcess::Stop() {
  if (!Running()) return;
  kill(pid_, SIGTERM);
  for (int i = 0; i < 40; ++i) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      reaped_ = true;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
  reaped_ = true;
}

std::string PlaybackPython() {
  return access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
}

int PlaybackFreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    throw std::runtime_error("no free port");
  }
  const int port = ntohs(address.sin_port);
  close(fd);
  return port;
}

}  // namespace wavecrate::test
