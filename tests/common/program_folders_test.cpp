// Where a copy of the program keeps its files: beside itself when portable,
// in the user's XDG folders when installed.
#include "common/ProgramFolders.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/TempDir.h"

namespace wavecrate {
namespace {

using test::TempDir;

TXdgEnvironment Env(const std::string& home, const std::string& config = "", const std::string& cache = "",
                    const std::string& state = "") {
  return TXdgEnvironment{home, config, cache, state};
}

TEST(ProgramFolders, PortableCopiesKeepEverythingBesideTheExecutable) {
  TempDir dir;
  const std::string exe = dir.File("wavecrate");
  const std::string dat = dir.File("wavecrate.dat");
  test::WriteFile(dat, "[System]\n");
  const TProgramFolders f = DecideProgramFolders(exe, dat, Env("/home/u"));
  EXPECT_TRUE(f.Portable);
  EXPECT_EQ(f.ConfigFolder, dir.Path().string());
  EXPECT_EQ(f.CacheFolder, dir.Path().string());
  EXPECT_EQ(f.StateFolder, dir.Path().string());
  EXPECT_EQ(f.InConfig("mp3encoder.ini"), dir.File("mp3encoder.ini"));
  EXPECT_EQ(f.LogPath(), dir.File("wavecrate.log"));

  // A build folder counts as portable even before the first settings file.
  TempDir build;
  test::WriteFile(build.File("CMakeCache.txt"), "");
  EXPECT_TRUE(
      DecideProgramFolders(build.File("wavecrate"), build.File("wavecrate.dat"), Env("/home/u")).Portable);
}

TEST(ProgramFolders, OtherCopiesUseTheXdgFoldersWithTheirDefaults) {
  TempDir dir;  // writable, but holds no settings file: an installed copy
  const std::string exe = dir.File("wavecrate");
  TProgramFolders f = DecideProgramFolders(exe, dir.File("wavecrate.dat"), Env("/home/u"));
  EXPECT_FALSE(f.Portable);
  EXPECT_EQ(f.ConfigFolder, "/home/u/.config/wavecrate");
  EXPECT_EQ(f.CacheFolder, "/home/u/.cache/wavecrate");
  EXPECT_EQ(f.StateFolder, "/home/u/.local/state/wavecrate");
  EXPECT_EQ(f.LogPath(), "/home/u/.local/state/wavecrate/wavecrate.log");

  // The rest of the rule depends on the environment's values alone.
  f = XdgProgramFolders("/opt/w/wavecrate", Env("/home/u", "/c", "/k", "/s"));
  EXPECT_EQ(f.ConfigFolder, "/c/wavecrate");
  EXPECT_EQ(f.CacheFolder, "/k/wavecrate");
  EXPECT_EQ(f.StateFolder, "/s/wavecrate");

  // Relative values are not valid base folders and are ignored.
  f = XdgProgramFolders("/opt/w/wavecrate", Env("/home/u", "rel/c", "", "./s"));
  EXPECT_EQ(f.ConfigFolder, "/home/u/.config/wavecrate");
  EXPECT_EQ(f.StateFolder, "/home/u/.local/state/wavecrate");

  // Nowhere else to go: stay beside the executable.
  f = XdgProgramFolders("/opt/w/wavecrate", Env(""));
  EXPECT_TRUE(f.Portable);
  EXPECT_EQ(f.ConfigFolder, "/opt/w");
  EXPECT_TRUE(XdgProgramFolders("/opt/w/wavecrate", Env("relative")).Portable);
}

TEST(ProgramFolders, FoldersAreMadePrivateAndFailuresNamed) {
  TempDir dir;
  TProgramFolders f{dir.File("wavecrate"), false, dir.File("c/deep/wavecrate"), dir.File("k/wavecrate"),
                    dir.File("s/wavecrate")};
  std::string error;
  ASSERT_TRUE(CreateProgramFolders(f, &error)) << error;
  struct stat st {};
  ASSERT_EQ(stat(f.ConfigFolder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_TRUE(CreateProgramFolders(f, &error)) << "existing folders are fine";

  test::WriteFile(dir.File("file"), "");
  f.StateFolder = dir.File("file/wavecrate");
  EXPECT_FALSE(CreateProgramFolders(f, &error));
  EXPECT_NE(error.find(dir.File("file")), std::string::npos) << error;
}

}  // namespace
}  // namespace wavecrate
