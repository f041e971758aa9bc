#include "common/Files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace wavecrate {

namespace {

[[noreturn]] void Fail(const std::string& what, int error) {
  throw std::system_error(error, std::generic_category(), what);
}

// Writes all of bytes unless the descriptor refuses; the errno of the refusal
// (ENOSPC for a write that took nothing) or 0.
int WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return ENOSPC;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

}  // namespace

bool FolderTakesFiles(const std::string& folder) {
  std::error_code ec;
  return std::filesystem::is_directory(folder, ec) && ::access(folder.c_str(), W_OK | X_OK) == 0;
}

std::error_code MakePrivateFolders(const std::string& folder, std::string* where) {
  std::filesystem::path path;
  for (const std::filesystem::path& level : std::filesystem::path(folder)) {
    path /= level;
    if (level.empty() || level == "/") continue;
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
      const std::error_code failure(errno, std::generic_category());
      if (where) *where = path.string();
      return failure;
    }
  }
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    if (where) *where = folder;
    return std::make_error_code(std::errc::not_a_directory);
  }
  return {};
}

std::optional<std::string> ReadRegularFile(const std::string& path) {
  // Opened without blocking: opening a FIFO for reading would otherwise wait
  // for a writer for ever, and a device might never answer. Only a regular
  // file is read; the check is made on the open descriptor, so swapping the
  // file for something else after a check by name cannot block either.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return std::nullopt;
  }
  std::string bytes;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // end of file, or a read error: keep what was read
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return bytes;
}

void WriteFileAtomically(const std::string& path, std::string_view bytes) {
  namespace fs = std::filesystem;

  // Through a symbolic link, replace the file it names and keep the link.
  std::string target = path;
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
    if (char* real = ::realpath(path.c_str(), nullptr)) {
      target = real;
      std::free(real);
    }
  }
  const bool hadFile = ::stat(target.c_str(), &info) == 0 && S_ISREG(info.st_mode);

  // The temporary file must sit in the same folder (rename cannot cross file
  // systems); a leading dot keeps it out of sight, and the name is kept well
  // below the file-name limit whatever the file is called.
  const fs::path targetPath(target);
  const fs::path folder = targetPath.has_parent_path() ? targetPath.parent_path() : fs::path(".");
  const std::string base = targetPath.filename().string().substr(0, 200);
  static std::atomic<unsigned> counter{0};
  std::string temp;
  int fd = -1;
  for (int attempt = 0; fd < 0; ++attempt) {
    temp = (folder / ("." + base + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++)))
               .string();
    // 0666 lets the umask decide, as for any newly created file.
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && (errno != EEXIST || attempt >= 100)) Fail("cannot create " + temp, errno);
  }

  const auto abandon = [&](const std::string& what, int error) {
    if (fd >= 0) ::close(fd);
    ::unlink(temp.c_str());
    Fail(what, error);
  };

  // A user who made the file private keeps it private.
  if (hadFile) (void)::fchmod(fd, info.st_mode & 07777);

  if (const int error = WriteAll(fd, bytes); error != 0) abandon("cannot write " + temp, error);
  if (::fsync(fd) != 0) abandon("cannot flush " + temp, errno);
  const int closed = ::close(fd);
  fd = -1;
  if (closed != 0) abandon("cannot close " + temp, errno);
  if (::rename(temp.c_str(), target.c_str()) != 0) abandon("cannot rename " + temp + " to " + target, errno);

  // Make the rename itself durable. The new file is in place already, so a
  // failure here leaves nothing to undo.
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    (void)::fsync(dir);
    ::close(dir);
  }
}

// ------------------------------------------------------------ locked append

TLockedAppendFile::~TLockedAppendFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool TLockedAppendFile::Open(const std::string& path, std::string* error) {
  if (fd_ >= 0) return true;
  fd_ = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    if (error) *error = std::strerror(errno);
    return false;
  }
  LockShared();
  return true;
}

bool TLockedAppendFile::TryLockAlone() {
  return fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
}

void TLockedAppendFile::LockShared() {
  if (fd_ >= 0) ::flock(fd_, LOCK_SH | LOCK_NB);
}

std::optional<char> TLockedAppendFile::LastByte() const {
  struct stat st {};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0 || st.st_size == 0) return std::nullopt;
  char last = 0;
  if (::pread(fd_, &last, 1, st.st_size - 1) != 1) return std::nullopt;
  return last;
}

bool TLockedAppendFile::Append(std::string_view bytes, bool sync, std::string* error) {
  if (fd_ < 0) {
    if (error) *error = std::strerror(EBADF);
    return false;
  }
  int failure = WriteAll(fd_, bytes);
  if (failure == 0 && sync && ::fdatasync(fd_) != 0) failure = errno;
  if (failure != 0 && error) *error = std::strerror(failure);
  return failure == 0;
}

}  // namespace wavecrate
