#include "common/LogFile.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>

// Lets a sanitizer run our drain before it ends a process it found at fault;
// absent (null) in builds without one.
extern "C" void __sanitizer_set_death_callback(void (*callback)())  // NOLINT(bugprone-reserved-identifier)
    __attribute__((weak));

namespace wavecrate {

namespace {

// Writes all of bytes unless the descriptor refuses; never waits on a
// non-blocking one. Returns how much was written.
std::size_t WriteAll(int fd, const char* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  return done;
}

}  // namespace

// ------------------------------------------------------------ rotating file

TRotatingLogFile::TRotatingLogFile(std::string path, std::size_t maxBytes, int files)
    : path_(std::move(path)), maxBytes_(maxBytes), files_(files < 1 ? 1 : files) {
  Open(false);
}

TRotatingLogFile::~TRotatingLogFile() {
  if (fd_ >= 0) close(fd_);
}

void TRotatingLogFile::Open(bool truncate) {
  // Private to the user: the log may hold stream links and folder names.
  fd_ = open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | (truncate ? O_TRUNC : 0),
             0600);
  size_ = 0;
  if (fd_ < 0) {
    openError_ = path_ + ": " + std::strerror(errno);
    return;
  }
  struct stat st {};
  if (fstat(fd_, &st) == 0) size_ = static_cast<std::size_t>(st.st_size);
}

void TRotatingLogFile::Rotate() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  for (int i = files_ - 1; i >= 1; --i) {
    const std::string from = i == 1 ? path_ : path_ + "." + std::to_string(i - 1);
    const std::string to = path_ + "." + std::to_string(i);
    rename(from.c_str(), to.c_str());  // a missing older file is fine
  }
  // Truncating keeps the bound even when the rename failed (or with one file).
  Open(true);
}

bool TRotatingLogFile::Append(std::string_view bytes) {
  if (bytes.empty()) return true;
  if (size_ > 0 && size_ + bytes.size() > maxBytes_) Rotate();
  if (fd_ < 0) {
    dropped_ += bytes.size();
    return false;
  }
  const std::size_t written = WriteAll(fd_, bytes.data(), bytes.size());
  size_ += written;
  dropped_ += bytes.size() - written;
  return written == bytes.size();
}

// ------------------------------------------------------------ standard error

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr std::size_t kLongestHeldLine = 4096;
constexpr int kPartialLineWaitMs = 200;

struct TLogState {
  int PipeRead = -1;
  int WakeRead = -1;
  int WakeWrite = -1;
  int OriginalError = -1;
  std::unique_ptr<TRotatingLogFile> File;
  std::thread Reader;
  std::string Pending;  // the start of a line whose end has not come yet
  struct sigaction Previous[std::size(kFatalSignals)] = {};
};

std::mutex g_mutex;
TLogState* g_state = nullptr;
// What a crashing process needs, readable from a signal handler.
std::atomic<int> g_crashPipe{-1};
std::atomic<int> g_crashError{-1};
std::atomic<int> g_crashLog{-1};
// The reader holds bytes it took from the pipe and has not written yet.
std::atomic<bool> g_readerBusy{false};
// A dying thread is copying the pipe out itself; the reader keeps off it, or
// one line could be read half by each of them and end up torn in the log.
std::atomic<bool> g_draining{false};

// Gives the reader a moment to write out what it holds (it may itself be the
// thread that crashed, or be stuck on the original standard error).
void WaitForReader() {
  for (int i = 0; i < 500 && g_readerBusy.load(); ++i) {
    const timespec millisecond{0, 1000 * 1000};
    nanosleep(&millisecond, nullptr);
  }
}

// Copies what is still in the pipe, raw, to both outputs, after the reader
// has written what it holds. Async-signal-safe: used when the process is
// about to end without the reader thread.
void DrainNow() {
  const int pipe = g_crashPipe.load();
  if (pipe < 0) return;
  // Claimed before looking at the reader: a reader that starts a read after
  // this sees the claim and backs off, one that started before is waited for.
  const bool outermost = !g_draining.exchange(true);
  WaitForReader();
  char buffer[4096];
  for (int i = 0; i < 1024; ++i) {
    const ssize_t n = read(pipe, buffer, sizeof buffer);
    if (n <= 0) break;
    const int err = g_crashError.load();
    const int log = g_crashLog.load();
    if (log >= 0) WriteAll(log, buffer, static_cast<std::size_t>(n));
    if (err >= 0) WriteAll(err, buffer, static_cast<std::size_t>(n));
  }
  // At exit the process may go on writing after this: the reader takes over again.
  if (outermost) g_draining.store(false);
}

void OnFatalSignal(int signalNumber, siginfo_t* info, void* /*context*/) {
  DrainNow();
  // Hand the signal to whoever had it before us (the default action, or a
  // sanitizer's handler).
  for (std::size_t i = 0; i < std::size(kFatalSignals); ++i) {
    if (kFatalSignals[i] != signalNumber || g_state == nullptr) continue;
    sigaction(signalNumber, &g_state->Previous[i], nullptr);
  }
  // A fault comes back by itself when the faulting instruction runs again; a
  // signal that was sent (abort, kill) must be raised again. It stays blocked
  // until this handler returns.
  if (info == nullptr || info->si_code <= 0 || signalNumber == SIGABRT) raise(signalNumber);
}

std::string TimeStamp() {
  // The precise clock: time() reads a coarse one that lags by a few
  // milliseconds, so a recording that started a moment after a minute began
  // was logged in the minute before.
  return LogTimeStamp(std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()));
}

// Stamps each complete line of `lines` (which ends with a line break).
void AppendLines(TLogState& s, std::string_view lines) {
  s.File->Append(StampLines(lines, TimeStamp()));
  g_crashLog.store(s.File->Fd());
}

void FlushPending(TLogState& s) {
  if (s.Pending.empty()) return;
  s.Pending += '\n';
  AppendLines(s, s.Pending);
  s.Pending.clear();
}

// The log first: the original standard error may be slow or stuck.
void Consume(TLogState& s, const char* data, std::size_t size) {
  s.Pending.append(data, size);
  const std::size_t lastBreak = s.Pending.rfind('\n');
  if (lastBreak != std::string::npos) {
    AppendLines(s, std::string_view(s.Pending).substr(0, lastBreak + 1));
    s.Pending.erase(0, lastBreak + 1);
  }
  if (s.Pending.size() > kLongestHeldLine) FlushPending(s);
  if (s.OriginalError >= 0) WriteAll(s.OriginalError, data, size);
}

// Reads one chunk from the pipe and passes it on; the result of read().
ssize_t ReadChunk(TLogState& s, char* buffer, std::size_t size) {
  g_readerBusy.store(true);
  if (g_draining.load()) {
    // The start of a line we hold goes out now; its end follows raw from the
    // drain.
    FlushPending(s);
    g_readerBusy.store(false);
    const timespec millisecond{0, 1000 * 1000};
    nanosleep(&millisecond, nullptr);
    errno = EAGAIN;
    return -1;
  }
  const ssize_t n = read(s.PipeRead, buffer, size);
  if (n > 0) Consume(s, buffer, static_cast<std::size_t>(n));
  g_readerBusy.store(false);
  return n;
}

void ReadUntilStopped(TLogState* s) {
  char buffer[65536];
  bool pipeOpen = true;
  for (;;) {
    pollfd fds[2] = {{s->WakeRead, POLLIN, 0}, {s->PipeRead, POLLIN, 0}};
    const int ready = poll(fds, pipeOpen ? 2 : 1, s->Pending.empty() ? -1 : kPartialLineWaitMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) break;
    if (ready == 0) {  // a partial line and a pause: write what there is
      FlushPending(*s);
      continue;
    }
    const bool stop = fds[0].revents != 0;
    if (pipeOpen && fds[1].revents != 0) {
      // Every writer closed descriptor 2: nothing more can come.
      if (ReadChunk(*s, buffer, sizeof buffer) == 0) pipeOpen = false;
    }
    if (stop) {
      // What is left; our end of the pipe does not block either.
      while (ReadChunk(*s, buffer, sizeof buffer) > 0) {
      }
      FlushPending(*s);
      return;
    }
  }
}

void CloseIfOpen(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace

TStandardErrorLog::TStandardErrorLog(const std::string& path, const std::string& header, std::size_t maxBytes,
                                     int files) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  if (g_state != nullptr) {
    error_ = "a log is already active";
    return;
  }
  auto state = std::make_unique<TLogState>();
  state->File = std::make_unique<TRotatingLogFile>(path, maxBytes, files);
  if (!state->File->IsOpen()) {
    error_ = state->File->OpenError();
    return;
  }
  int pipeFds[2];
  int wakeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
    error_ = std::string("pipe: ") + std::strerror(errno);
    return;
  }
  if (pipe2(wakeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
    error_ = std::string("pipe: ") + std::strerror(errno);
    close(pipeFds[0]);
    close(pipeFds[1]);
    return;
  }
  // Room for bursts (up to the system's limit; the default size also works).
  fcntl(pipeFds[1], F_SETPIPE_SZ, 1024 * 1024);
  state->PipeRead = pipeFds[0];
  state->WakeRead = wakeFds[0];
  state->WakeWrite = wakeFds[1];
  state->OriginalError = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  state->File->Append(TimeStamp() + header + "\n");

  std::fflush(stderr);
  if (dup2(pipeFds[1], STDERR_FILENO) < 0) {
    error_ = std::string("dup2: ") + std::strerror(errno);
    close(pipeFds[1]);
    CloseIfOpen(state->PipeRead);
    CloseIfOpen(state->WakeRead);
    CloseIfOpen(state->WakeWrite);
    CloseIfOpen(state->OriginalError);
    return;
  }
  close(pipeFds[1]);  // descriptor 2 is now the pipe's only writing end here

  g_crashPipe.store(state->PipeRead);
  g_crashError.store(state->OriginalError);
  g_crashLog.store(state->File->Fd());
  // Owned through g_state from here until the destructor.
  TLogState* s = state.release();
  g_state = s;

  // The reader takes no signals: the program's own handlers run elsewhere,
  // and a closed original standard error must give EPIPE, not end us.
  sigset_t all;
  sigset_t previousMask;
  sigfillset(&all);
  for (int s : kFatalSignals) sigdelset(&all, s);
  pthread_sigmask(SIG_BLOCK, &all, &previousMask);
  s->Reader = std::thread(ReadUntilStopped, s);
  pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);

  struct sigaction action {};
  action.sa_sigaction = OnFatalSignal;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  for (std::size_t i = 0; i < std::size(kFatalSignals); ++i) {
    sigaction(kFatalSignals[i], &action, &s->Previous[i]);
  }
  static std::once_flag hooks;
  std::call_once(hooks, [] {
    std::atexit(DrainNow);
    if (__sanitizer_set_death_callback != nullptr) __sanitizer_set_death_callback(DrainNow);
  });
  active_ = true;
}

TStandardErrorLog::~TStandardErrorLog() {
  if (!active_) return;
  const std::lock_guard<std::mutex> lock(g_mutex);
  TLogState* s = g_state;
  std::fflush(stderr);
  // From here on, writes to descriptor 2 go where they went before.
  if (s->OriginalError >= 0) {
    dup2(s->OriginalError, STDERR_FILENO);
  } else {
    close(STDERR_FILENO);
  }
  for (std::size_t i = 0; i < std::size(kFatalSignals); ++i) {
    sigaction(kFatalSignals[i], &s->Previous[i], nullptr);
  }
  const char byte = 1;
  WriteAll(s->WakeWrite, &byte, 1);
  s->Reader.join();
  g_crashPipe.store(-1);
  g_crashLog.store(-1);
  g_crashError.store(-1);
  g_state = nullptr;
  CloseIfOpen(s->PipeRead);
  CloseIfOpen(s->WakeRead);
  CloseIfOpen(s->WakeWrite);
  CloseIfOpen(s->OriginalError);
  delete s;
}

}  // namespace wavecrate
