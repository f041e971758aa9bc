// What the core needs of the file system beyond std::filesystem: access
// rights as the operating system decides them, private folders, reads that
// never wait, writes that survive a crash and a locked append-only file.
// Declared here for the core; each system's binding (common/posix) says how.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace wavecrate {

// Whether a file can be created in the folder: it exists, is a folder, and
// this user may add files to it (permissions, access lists, read-only mounts).
bool FolderTakesFiles(const std::string& folder);

// Makes the folder and each missing level above it, private to the user.
// Says why when a level cannot be made or the path is not a folder, and
// `where` then names the level.
std::error_code MakePrivateFolders(const std::string& folder, std::string* where);

// The content of a regular file; nullopt for anything else (missing, a
// folder, a FIFO or a device). Never waits for a writer, and a read error
// keeps what was read before it.
std::optional<std::string> ReadRegularFile(const std::string& path);

// Replaces the file at path with bytes so that the old content stays whole
// until the new one is completely on disk: writes a temporary file in the same
// folder, flushes and syncs it, then renames it over path. On failure the
// temporary file is removed, path is left as it was, and std::system_error
// describes what failed. A path that is a symbolic link is written through to
// the file it names. An existing file's permission bits are kept.
void WriteFileAtomically(const std::string& path, std::string_view bytes);

// A file that only grows, private to the user, shared by the copies of the
// program that run at once: each holds a shared lock while it runs, and one
// that wants to know it is alone asks for the exclusive lock. Each append
// reaches the end of the file even when another copy appended meanwhile.
class TLockedAppendFile {
 public:
  TLockedAppendFile() = default;
  ~TLockedAppendFile();
  TLockedAppendFile(const TLockedAppendFile&) = delete;
  TLockedAppendFile& operator=(const TLockedAppendFile&) = delete;

  // Opens (creating it) and takes the shared lock; true when already open.
  bool Open(const std::string& path, std::string* error);
  bool IsOpen() const { return fd_ >= 0; }
  // Trades the shared lock for the exclusive one when no other holder has
  // it; false (still shared) otherwise.
  bool TryLockAlone();
  // Back to the shared lock.
  void LockShared();
  // The file's last byte; nullopt when it is empty or cannot be read.
  std::optional<char> LastByte() const;
  // Writes all of bytes at the end; with sync, also waits until they are on
  // disk. False with `error` when a write fails.
  bool Append(std::string_view bytes, bool sync, std::string* error);

 private:
  int fd_ = -1;
};

}  // namespace wavecrate
