#include "common/ProgramFolders.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <vector>

namespace wavecrate {

namespace {

namespace fs = std::filesystem;

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string FileNameOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// An XDG variable counts only when it holds an absolute path.
std::string BaseFolder(const std::string& value, const std::string& home, const char* fallback) {
  if (!value.empty() && value.front() == '/') return value;
  if (home.empty() || home.front() != '/') return {};
  return home + "/" + fallback;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

// A build folder: the program was started straight from where it was built.
bool IsBuildFolder(const std::string& folder) {
  return Exists(folder + "/CMakeCache.txt");
}

std::mutex g_mutex;
std::optional<TProgramFolders> g_folders;

std::string OwnExecutable() {
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return (fs::current_path(ec) / "wavecrate").string();
  return exe.string();
}

}  // namespace

TXdgEnvironment TXdgEnvironment::FromProcess() {
  TXdgEnvironment env;
  env.Home = Env("HOME");
  if (env.Home.empty()) {
    std::vector<char> buffer(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &pw, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr) {
      env.Home = found->pw_dir;
    }
  }
  env.ConfigHome = Env("XDG_CONFIG_HOME");
  env.CacheHome = Env("XDG_CACHE_HOME");
  env.StateHome = Env("XDG_STATE_HOME");
  return env;
}

std::string TProgramFolders::InConfig(const std::string& fileName) const {
  return ConfigFolder + "/" + fileName;
}

std::string TProgramFolders::LogPath() const {
  return StateFolder + "/" + FileNameOf(ExePath) + ".log";
}

TProgramFolders PortableFolders(const std::string& exePath) {
  const std::string folder = FolderOf(exePath);
  return TProgramFolders{exePath, true, folder, folder, folder};
}

std::string XdgConfigHome(const TXdgEnvironment& env) {
  return BaseFolder(env.ConfigHome, env.Home, ".config");
}

TProgramFolders DecideProgramFolders(const std::string& exePath, const std::string& settingsPath,
                                     const TXdgEnvironment& env) {
  const std::string folder = FolderOf(exePath);
  // access() also answers "no" for a folder on a read-only mount, even to root.
  const bool writable = access(folder.c_str(), W_OK) == 0;
  if (writable && (Exists(settingsPath) || IsBuildFolder(folder))) return PortableFolders(exePath);

  const std::string config = XdgConfigHome(env);
  const std::string cache = BaseFolder(env.CacheHome, env.Home, ".cache");
  const std::string state = BaseFolder(env.StateHome, env.Home, ".local/state");
  if (config.empty() || cache.empty() || state.empty()) return PortableFolders(exePath);
  const std::string sub = std::string("/") + kProgramFolderName;
  return TProgramFolders{exePath, false, config + sub, cache + sub, state + sub};
}

bool CreateProgramFolders(const TProgramFolders& folders, std::string* error) {
  for (const std::string* folder : {&folders.ConfigFolder, &folders.CacheFolder, &folders.StateFolder}) {
    // Each missing level is made in turn, private to the user.
    std::string path;
    std::size_t from = 0;
    while (from <= folder->size()) {
      std::size_t slash = folder->find('/', from);
      if (slash == std::string::npos) slash = folder->size();
      path = folder->substr(0, slash);
      from = slash + 1;
      if (path.empty()) continue;
      if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        if (error) *error = path + ": " + std::strerror(errno);
        return false;
      }
    }
    struct stat st {};
    if (stat(folder->c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      if (error) *error = *folder + ": not a folder";
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
