#include "common/ProgramFolders.h"

#include <filesystem>
#include <mutex>
#include <optional>

#include "common/Executables.h"
#include "common/Files.h"

namespace wavecrate {

namespace {

namespace fs = std::filesystem;

std::string FolderOf(const std::string& path) {
  const fs::path folder = fs::path(path).parent_path();
  return folder.empty() ? "." : folder.string();
}

// An XDG variable counts only when it holds an absolute path.
std::string BaseFolder(const std::string& value, const std::string& home, const char* fallback) {
  if (!value.empty() && value.front() == '/') return value;
  if (home.empty() || home.front() != '/') return {};
  return home + "/" + fallback;
}

bool Exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

// A build folder: the program was started straight from where it was built.
bool IsBuildFolder(const std::string& folder) {
  return Exists(folder + "/CMakeCache.txt");
}

std::mutex g_mutex;
std::optional<TProgramFolders> g_folders;

std::string OwnExecutable() {
  std::string exe = OwnExecutablePath();
  std::error_code ec;
  if (exe.empty()) exe = (fs::current_path(ec) / "wavecrate").string();
  return exe;
}

}  // namespace

std::string TProgramFolders::InConfig(const std::string& fileName) const {
  return ConfigFolder + "/" + fileName;
}

std::string TProgramFolders::LogPath() const {
  return StateFolder + "/" + fs::path(ExePath).filename().string() + ".log";
}

TProgramFolders PortableFolders(const std::string& exePath) {
  const std::string folder = FolderOf(exePath);
  return TProgramFolders{exePath, true, folder, folder, folder};
}

std::string XdgConfigHome(const TXdgEnvironment& env) {
  return BaseFolder(env.ConfigHome, env.Home, ".config");
}

TProgramFolders XdgProgramFolders(const std::string& exePath, const TXdgEnvironment& env) {
  const std::string config = XdgConfigHome(env);
  const std::string cache = BaseFolder(env.CacheHome, env.Home, ".cache");
  const std::string state = BaseFolder(env.StateHome, env.Home, ".local/state");
  if (config.empty() || cache.empty() || state.empty()) return PortableFolders(exePath);
  const std::string sub = std::string("/") + kProgramFolderName;
  return TProgramFolders{exePath, false, config + sub, cache + sub, state + sub};
}

TProgramFolders DecideProgramFolders(const std::string& exePath, const std::string& settingsPath,
                                     const TXdgEnvironment& env) {
  const std::string folder = FolderOf(exePath);
  // Asks the system, which also answers "no" for a folder on a read-only
  // mount, even to root.
  if (FolderTakesFiles(folder) && (Exists(settingsPath) || IsBuildFolder(folder))) {
    return PortableFolders(exePath);
  }
  return XdgProgramFolders(exePath, env);
}

bool CreateProgramFolders(const TProgramFolders& folders, std::string* error) {
  for (const std::string* folder : {&folders.ConfigFolder, &folders.CacheFolder, &folders.StateFolder}) {
    std::string where;
    if (const std::error_code ec = MakePrivateFolders(*folder, &where)) {
      if (error) *error = where + ": " + ec.message();
      return false;
    }
  }
  return true;
}

void SetProgramFolders(const TProgramFolders& folders) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  g_folders = folders;
}

TProgramFolders ProgramFolders() {
  const std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_folders) g_folders = PortableFolders(OwnExecutable());
  return *g_folders;
}

}  // namespace wavecrate
