// The program's log file: everything written to standard error (by us, and
// by Qt, GStreamer, libpulse or anything else in the process) is copied into
// a file of bounded size, rotated when full, as well as to the original
// standard error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace wavecrate {

inline constexpr std::size_t kLogMaxBytes = 1024 * 1024;
// The current file and the two before it.
inline constexpr int kLogFiles = 3;

// "2008-01-05 08:30:00 ": the local time of an instant (seconds since 1970)
// as each line of the log begins.
std::string LogTimeStamp(std::int64_t unixSeconds);

// Each line of `lines` (the last one may lack its line break) with `stamp` in
// front of it.
std::string StampLines(std::string_view lines, std::string_view stamp);

// The two classes below bind the system's files and its standard error
// (common/posix).

// A file that never grows past maxBytes: before a write that would take it
// past the bound it becomes "<path>.1" (an older "<path>.1" becomes
// "<path>.2", and so on up to files - 1; the oldest is dropped) and a new file
// is begun. Writes go straight to the kernel (no buffering of our own), so a
// crash of the program loses nothing that was appended; a write that fails
// (a full disk) is dropped at once, never retried or waited on.
class TRotatingLogFile {
 public:
  TRotatingLogFile(std::string path, std::size_t maxBytes, int files);
  ~TRotatingLogFile();
  TRotatingLogFile(const TRotatingLogFile&) = delete;
  TRotatingLogFile& operator=(const TRotatingLogFile&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  const std::string& OpenError() const { return openError_; }
  // False when (part of) the bytes could not be written.
  bool Append(std::string_view bytes);
  // The descriptor, for writes that must not allocate (a crashing process).
  int Fd() const { return fd_; }
  std::size_t DroppedBytes() const { return dropped_; }

 private:
  void Open(bool truncate);
  void Rotate();

  std::string path_;
  std::size_t maxBytes_;
  int files_;
  int fd_ = -1;
  std::size_t size_ = 0;
  std::size_t dropped_ = 0;
  std::string openError_;
};

// Routes this process's standard error (descriptor 2) through a pipe that a
// small thread reads: each chunk goes on to the original standard error
// unchanged and into a TRotatingLogFile, each line stamped with the local
// time. Only one can be active at a time.
//
// - The program never blocks on it: the pipe is large and its writing end
//   non-blocking, so if the thread ever fell behind a message would be lost
//   rather than the program stopped; a full disk only drops log lines.
// - A line is written to the file as soon as it is complete (a partial line
//   after a short pause), so a crash loses at most the line being written;
//   a fatal signal (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT), exit() and a
//   sanitizer's report also copy what is still in the pipe before the end.
class TStandardErrorLog {
 public:
  // `header` is written to the log file only, as the first line of this run.
  TStandardErrorLog(const std::string& path, const std::string& header, std::size_t maxBytes = kLogMaxBytes,
                    int files = kLogFiles);
  // Puts the original standard error back, copies what is still in the pipe
  // and ends the thread.
  ~TStandardErrorLog();
  TStandardErrorLog(const TStandardErrorLog&) = delete;
  TStandardErrorLog& operator=(const TStandardErrorLog&) = delete;

  // False when the file could not be opened (or another log is active):
  // standard error is then left alone. Error() says why.
  bool Active() const { return active_; }
  const std::string& Error() const { return error_; }

 private:
  bool active_ = false;
  std::string error_;
};

}  // namespace wavecrate
