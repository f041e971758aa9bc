#include "app/AppPaths.h"

#include <filesystem>

#include "app/IniFile.h"
#include "app/ProgramIdentity.h"

namespace wavecrate {

TAppPaths TAppPaths::ForExecutable(const std::string& exePath) {
  return TAppPaths{exePath, SettingsPathFor(exePath), ProgramTitle(exePath)};
}

TAppPaths TAppPaths::ForFolders(const TProgramFolders& folders) {
  TAppPaths paths = ForExecutable(folders.ExePath);
  if (!folders.Portable) {
    paths.SettingsPath = folders.InConfig(std::filesystem::path(paths.SettingsPath).filename().string());
  }
  return paths;
}

bool SettingsFileExists(const std::string& path) {
  return IsRegularFile(path);
}

}  // namespace wavecrate
