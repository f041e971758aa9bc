#include "app/ProgramIdentity.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "support/Subprocess.h"
#include "support/TempDir.h"

namespace wavecrate {
namespace {

namespace fs = std::filesystem;

TEST(ProgramIdentity, Title) {
  EXPECT_EQ(ProgramTitle("C:/Apps/RECORDER.EXE"), "Recorder");
  EXPECT_EQ(ProgramTitle("/usr/local/bin/wavecrate"), "Wavecrate");
  EXPECT_EQ(ProgramTitle("wavecrate"), "Wavecrate");
  EXPECT_EQ(ProgramTitle("/opt/my.rec.v2"), "My");              // up to the first dot
  EXPECT_EQ(ProgramTitle("/opt/v1.5/talkRADIO"), "Talkradio");  // folder dots do not count
  EXPECT_EQ(ProgramTitle("/opt/9lives"), "9lives");
  EXPECT_EQ(ProgramTitle("/opt/\xC3\x89T\xC3\x89"), "\xC3\x89t\xC3\x89");  // UTF-8 bytes kept
}

TEST(ProgramIdentity, SettingsPath) {
  EXPECT_EQ(SettingsPathFor("/opt/recorder.exe"), "/opt/recorder.dat");
  EXPECT_EQ(SettingsPathFor("/work/build/wavecrate"), "/work/build/wavecrate.dat");
  EXPECT_EQ(SettingsPathFor("/opt/my.rec.v2"), "/opt/my.rec.dat");
  EXPECT_EQ(SettingsPathFor("/opt/v1.5/wavecrate"), "/opt/v1.5/wavecrate.dat");
  EXPECT_EQ(SettingsPathFor("/opt/.wavecrate"), "/opt/.wavecrate.dat");
  EXPECT_EQ(SettingsPathFor("/opt/wavecrate."), "/opt/wavecrate.dat");
  EXPECT_EQ(SettingsPathFor("wavecrate"), "wavecrate.dat");
}

TEST(ProgramIdentity, TrayTipKeepsAtMost63Characters) {
  EXPECT_EQ(TrayTip("Wavecrate"), "Wavecrate");
  EXPECT_EQ(TrayTip(std::string(63, 'a')), std::string(63, 'a'));
  EXPECT_EQ(TrayTip(std::string(64, 'a')), std::string(63, 'a'));
  // Two-byte characters: 70 of them are cut to 63 whole ones (126 bytes).
  std::string wide;
  for (int i = 0; i < 70; ++i) wide += "\xC3\xA9";
  EXPECT_EQ(TrayTip(wide), wide.substr(0, 126));
}

TEST(SingleInstance, MatchingRule) {
  // The file name need only end our path, case-sensitively.
  EXPECT_FALSE(IsAlreadyRunning("/opt/myrec", {"bash", "myrec"}));        // only ourselves
  EXPECT_TRUE(IsAlreadyRunning("/opt/myrec", {"myrec", "bash", "rec"}));  // rec counts as a copy
  EXPECT_TRUE(IsAlreadyRunning("/opt/myrec", {"myrec", "myrec"}));
  EXPECT_FALSE(IsAlreadyRunning("/home/user/wavecrate", {"wavecrate", "sh", "bash", "Wavecrate"}));
  EXPECT_FALSE(IsAlreadyRunning("/home/user/wavecrate", {"wavecrate", "user"}));  // not at the end
  EXPECT_FALSE(IsAlreadyRunning("/home/user/wavecrate", {"wavecrate", "", ""}));
  EXPECT_FALSE(IsAlreadyRunning("/home/user/wavecrate", {}));
}

// Starts a copy of sleep under a name of our choosing, so the test can count
// real processes through /proc without depending on what else runs here.
class SingleInstanceProcesses : public testing::Test {
 protected:
  void SetUp() override {
    const char* sleepBinary = fs::exists("/usr/bin/sleep") ? "/usr/bin/sleep" : "/bin/sleep";
    exe_ = dir_.File("wcsleep" + std::to_string(getpid()));
    fs::copy_file(sleepBinary, exe_);
  }

  void TearDown() override {
    for (pid_t pid : children_) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }

  void Start() {
    pid_t pid = 0;
    char* argv[] = {exe_.data(), const_cast<char*>("60"), nullptr};
    ASSERT_EQ(posix_spawn(&pid, exe_.c_str(), nullptr, nullptr, argv, environ), 0);
    children_.push_back(pid);
  }

  // Waits (bounded) until /proc shows the expected number of copies.
  long CountCopies(long expected) const {
    const std::string name = fs::path(exe_).filename().string();
    long count = -1;
    for (int i = 0; i < 200 && count != expected; ++i) {
      if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      const auto names = RunningProcessExeFileNames();
      count = std::count(names.begin(), names.end(), name);
    }
    return count;
  }

  test::TempDir dir_;
  std::string exe_;
  std::vector<pid_t> children_;
};

TEST_F(SingleInstanceProcesses, OneCopyIsUsAndTwoMeanAnotherRuns) {
  Start();
  ASSERT_EQ(CountCopies(1), 1);
  EXPECT_FALSE(IsAlreadyRunning(exe_, RunningProcessExeFileNames()));
  Start();
  ASSERT_EQ(CountCopies(2), 2);
  EXPECT_TRUE(IsAlreadyRunning(exe_, RunningProcessExeFileNames()));
}

TEST_F(SingleInstanceProcesses, CopyWhoseFileWasReplacedStillCounts) {
  Start();
  Start();
  ASSERT_EQ(CountCopies(2), 2);
  fs::remove(exe_);  // as an upgrade replacing the executable would
  EXPECT_EQ(CountCopies(2), 2);
  EXPECT_TRUE(IsAlreadyRunning(exe_, RunningProcessExeFileNames()));
}

// Another user's copy (started here as "nobody") must neither count as a
// running copy nor stop ours; our own second copy still does.
TEST_F(SingleInstanceProcesses, OnlyOurOwnUsersCopiesCount) {
  const passwd* nobody = getpwnam("nobody");
  if (geteuid() != 0 || nobody == nullptr || access("/usr/bin/setpriv", X_OK) != 0) {
    GTEST_SKIP() << "needs root, setpriv and a user 'nobody' to start another user's process";
  }
  // Same file name in a folder that user can reach.
  char folder[] = "/tmp/wc-other-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string other = std::string(folder) + "/" + fs::path(exe_).filename().string();
  fs::copy_file(exe_, other);
  fs::permissions(folder, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
  Start();
  ASSERT_EQ(CountCopies(1), 1);
  {
    test::Subprocess foreign({"/usr/bin/setpriv", "--reuid=nobody",
                              "--regid=" + std::to_string(nobody->pw_gid), "--clear-groups", other, "60"});
    // Wait until the kernel shows it running our file name as that user.
    const std::string proc = "/proc/" + std::to_string(foreign.Pid());
    ASSERT_TRUE(test::WaitUntil(
        [&] {
          struct stat st {};
          std::error_code ec;
          return stat(proc.c_str(), &st) == 0 && st.st_uid == nobody->pw_uid &&
                 fs::read_symlink(proc + "/exe", ec) == other;
        },
        std::chrono::milliseconds(5000)));
    EXPECT_EQ(CountCopies(1), 1) << "another user's process was listed";
    EXPECT_FALSE(IsAlreadyRunning(exe_, RunningProcessExeFileNames()));
    Start();
    ASSERT_EQ(CountCopies(2), 2);
    EXPECT_TRUE(IsAlreadyRunning(exe_, RunningProcessExeFileNames()));
  }
  fs::remove_all(folder);
}

TEST(SingleInstance, OwnExecutable) {
  const std::string own = OwnExecutablePath();
  EXPECT_EQ(own, fs::canonical("/proc/self/exe").string());
  const auto names = RunningProcessExeFileNames();
  EXPECT_NE(std::find(names.begin(), names.end(), fs::path(own).filename().string()), names.end());
}

}  // namespace
}  // namespace wavecrate
