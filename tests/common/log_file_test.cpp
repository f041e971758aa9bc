// The log file: bounded and rotated, fed from everything written to standard
// error, never blocking the program, and complete up to a crash. The
// standard-error cases run in a child process, so this test's own output is
// left alone.
#include "common/LogFile.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>

#include "support/TempDir.h"

namespace wavecrate {
namespace {

using test::ReadFile;
using test::TempDir;

std::size_t FileSize(const std::string& path) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  return ec ? 0 : static_cast<std::size_t>(size);
}

TEST(RotatingLogFile, StaysWithinItsBoundAndKeepsTheNewestFiles) {
  TempDir dir;
  const std::string path = dir.File("w.log");
  {
    TRotatingLogFile log(path, 1000, 3);
    ASSERT_TRUE(log.IsOpen());
    for (int i = 0; i < 200; ++i) {
      char line[32];
      std::snprintf(line, sizeof line, "line %03d 0123456789\n", i);  // 20 bytes
      ASSERT_TRUE(log.Append(line));
    }
  }
  for (const std::string& p : {path, path + ".1", path + ".2"}) {
    EXPECT_GT(FileSize(p), 0u) << p;
    EXPECT_LE(FileSize(p), 1000u) << p;
  }
  EXPECT_FALSE(std::filesystem::exists(path + ".3")) << "only three files are kept";
  // Newest in the current file, older ones in .1 and .2, none torn apart.
  EXPECT_NE(ReadFile(path).find("line 199 0123456789\n"), std::string::npos);
  EXPECT_EQ(ReadFile(path + ".1").find("line 199"), std::string::npos);
  const std::string all = ReadFile(path + ".2") + ReadFile(path + ".1") + ReadFile(path);
  EXPECT_EQ(all.size() % 20, 0u);
  EXPECT_EQ(all.substr(0, 20), "line 050 0123456789\n");
  EXPECT_EQ(all.substr(all.size() - 20), "line 199 0123456789\n");
  EXPECT_EQ(all.size(), 3000u) << "rotation lost or duplicated lines";

  // A later run appends to the current file and rotates at the same bound.
  TRotatingLogFile again(path, 1000, 3);
  EXPECT_TRUE(again.Append(std::string(999, 'x')));
  EXPECT_EQ(ReadFile(path), std::string(999, 'x'));
}

TEST(RotatingLogFile, AFullDiskDropsLinesAtOnce) {
  TempDir dir;
  // A link to /dev/full: every write fails with "no space left".
  std::filesystem::create_symlink("/dev/full", dir.File("full.log"));
  TRotatingLogFile log(dir.File("full.log"), 1000, 3);
  ASSERT_TRUE(log.IsOpen());
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 1000; ++i) EXPECT_FALSE(log.Append("a line that cannot be written\n"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(log.DroppedBytes(), 1000u * 30);

  TRotatingLogFile missing(dir.File("no/such/folder/w.log"), 1000, 3);
  EXPECT_FALSE(missing.IsOpen());
  EXPECT_FALSE(missing.Append("x\n"));
}

// Runs body in a child whose standard error is the file errPath; returns
// the child's wait status.
int InChild(const std::string& errPath, const std::function<void()>& body) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    std::FILE* err = std::freopen(errPath.c_str(), "w", stderr);
    if (err == nullptr) _exit(90);
    std::setvbuf(stderr, nullptr, _IONBF, 0);  // as standard error always is
    body();
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

TEST(StandardErrorLog, EverythingOnDescriptorTwoReachesTheLogAndTheOriginal) {
  TempDir dir;
  const std::string log = dir.File("w.log");
  const std::string err = dir.File("err.txt");
  const int status = InChild(err, [&] {
    TStandardErrorLog tee(log, "header of this run");
    if (!tee.Active()) _exit(91);
    std::fprintf(stderr, "from stdio\n");
    const char raw[] = "raw write, no newline yet";
    [[maybe_unused]] auto n = write(2, raw, sizeof raw - 1);
    n = write(2, " ... done\n", 10);
    // A child process inherits descriptor 2 (as GStreamer's or the web
    // engine's helpers do).
    if (std::system("echo from a child process >&2") != 0) _exit(92);
  });
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const std::string text = ReadFile(log);
  const std::string original = ReadFile(err);
  EXPECT_EQ(original, "from stdio\nraw write, no newline yet ... done\nfrom a child process\n");
  std::istringstream lines(text);
  std::string line;
  std::vector<std::string> bodies;
  while (std::getline(lines, line)) {
    // "YYYY-MM-DD HH:MM:SS " before each line.
    ASSERT_GE(line.size(), 20u) << line;
    EXPECT_EQ(line[4], '-');
    EXPECT_EQ(line[13], ':');
    bodies.push_back(line.substr(20));
  }
  EXPECT_EQ(bodies, (std::vector<std::string>{"header of this run", "from stdio",
                                              "raw write, no newline yet ... done", "from a child process"}));
}

TEST(StandardErrorLog, ACrashLosesNothingAlreadyWritten) {
  TempDir dir;
  const std::string log = dir.File("w.log");
  for (int signalNumber : {SIGABRT, SIGSEGV}) {
    const int status = InChild(dir.File("err.txt"), [&] {
      TStandardErrorLog tee(log, "crash run");
      for (int i = 0; i < 500; ++i) std::fprintf(stderr, "line %d before the crash\n", i);
      if (signalNumber == SIGABRT) std::abort();
      std::raise(SIGSEGV);
    });
    // The signal ends it, or a sanitizer's handler that reports it and exits.
    ASSERT_TRUE((WIFSIGNALED(status) && WTERMSIG(status) == signalNumber) ||
                (WIFEXITED(status) && WEXITSTATUS(status) != 0))
        << status;
    const std::string text = ReadFile(log);
    // The last line may be the one in flight; everything before it is there.
    for (int i = 0; i < 499; ++i) {
      ASSERT_NE(text.find("line " + std::to_string(i) + " before the crash\n"), std::string::npos)
          << "signal " << signalNumber << ": line " << i << " lost";
    }
    std::filesystem::remove(log);
  }
}

TEST(StandardErrorLog, AStuckReaderNeverBlocksTheProgram) {
  TempDir dir;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    // The original standard error is a pipe nobody reads: the log's reader
    // thread blocks on it, and the program goes on writing regardless.
    close(fds[0]);
    dup2(fds[1], 2);
    TStandardErrorLog tee(dir.File("w.log"), "stuck run");
    const std::string chunk(4000, 'z');
    for (int i = 0; i < 2500; ++i) std::fprintf(stderr, "%s\n", chunk.c_str());  // 10 MB
    _exit(0);  // the reader is stuck: leave without joining it
  }
  close(fds[1]);
  int status = 0;
  pid_t done = 0;
  for (int i = 0; i < 300 && done == 0; ++i) {
    done = waitpid(pid, &status, WNOHANG);
    if (done == 0) usleep(100 * 1000);
  }
  if (done == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  close(fds[0]);
  EXPECT_NE(done, 0) << "writing to standard error blocked for 30 s";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace wavecrate
