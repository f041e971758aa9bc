#include "support/Subprocess.h"

#include <cstdio>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace wavecrate::test {

Subprocess::Subprocess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                       const std::string& stdoutPath) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  std::vector<std::string> envStrings;
  for (char** e = environ; *e; ++e) envStrings.emplace_back(*e);
  for (const std::string& add : env) {
    const std::string name = add.substr(0, add.find('=') + 1);
    std::erase_if(envStrings, [&](const std::string& s) { return s.rfind(name, 0) == 0; });
    envStrings.push_back(add);
  }
  std::vector<char*> envp;
  for (std::string& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!stdoutPath.empty()) {
    posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  const int rc = posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
}

Subprocess::~Subprocess() {
  if (!Running()) return;
  Signal(SIGTERM);
  if (Wait(std::chrono::milliseconds(1000)) == INT_MIN) {
    Signal(SIGKILL);
    Wait(std::chrono::milliseconds(2000));
  }
}

void Subprocess::Signal(int signalNumber) const {
  if (pid_ > 0) kill(pid_, signalNumber);
}

bool Subprocess::Running() {
  if (reaped_ || pid_ <= 0) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    reaped_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    return false;
  }
  return true;
}

int Subprocess::Wait(std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (Running()) {
    if (std::chrono::steady_clock::now() >= end) return INT_MIN;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return status_;
}

std::string Shell(const std::string& command) {
  std::string out;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
    ::pclose(p);
  }
  return out;
}

}  // namespace wavecrate::test
