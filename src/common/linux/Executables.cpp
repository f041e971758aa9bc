#include "common/Executables.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <memory>
#include <string_view>

namespace wavecrate {

namespace {

// readlink of a /proc "exe" link (relative to `dirFd` when it is not
// AT_FDCWD), "" when it cannot be read.
std::string ReadExeLink(const std::string& link, int dirFd = AT_FDCWD) {
  std::string target(PATH_MAX, '\0');
  const ssize_t n = readlinkat(dirFd, link.c_str(), target.data(), target.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) return {};
  target.resize(static_cast<std::size_t>(n));
  // The kernel marks an executable whose file is gone (deleted, or replaced
  // by an upgrade) this way; the process is still the same program.
  constexpr std::string_view kDeleted = " (deleted)";
  if (target.ends_with(kDeleted)) target.resize(target.size() - kDeleted.size());
  return target;
}

bool IsPid(const char* name) {
  if (*name == '\0') return false;
  for (; *name != '\0'; ++name) {
    if (*name < '0' || *name > '9') return false;
  }
  return true;
}

}  // namespace

std::vector<std::string> RunningProcessExeFileNames() {
  std::vector<std::string> names;
  const std::unique_ptr<DIR, int (*)(DIR*)> proc(opendir("/proc"), closedir);
  if (!proc) return names;
  const uid_t self = geteuid();
  while (const dirent* entry = readdir(proc.get())) {
    if (!IsPid(entry->d_name)) continue;
    // Only our own user's processes count: another user's copy can neither be
    // brought forward nor share our sound server, and root could otherwise
    // read every user's links. /proc/<pid> belongs to the process's user;
    // owner and link are read through one descriptor, so a reused PID cannot
    // pair one process's owner with another's executable.
    const int dir = openat(dirfd(proc.get()), entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) continue;
    struct stat st {};
    const bool ours = fstat(dir, &st) == 0 && st.st_uid == self;
    // Kernel threads have no readable link.
    const std::string target = ours ? ReadExeLink("exe", dir) : std::string();
    close(dir);
    if (target.empty()) continue;
    names.push_back(std::filesystem::path(target).filename().string());
  }
  return names;
}

std::string OwnExecutablePath() {
  return ReadExeLink("/proc/self/exe");
}

}  // namespace wavecrate
