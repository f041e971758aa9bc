#include "app/AppPaths.h"

#include "app/IniFile.h"
#include "app/ProgramIdentity.h"

namespace wavecrate {

TAppPaths TAppPaths::ForExecutable(const std::string& exePath) {
  return TAppPaths{exePath, SettingsPathFor(exePath), ProgramTitle(exePath)};
}

TAppPaths TAppPaths::ForFolders(const TProgramFolders& folders) {
  TAppPaths paths = ForExecutable(folders.ExePath);
  if (!folders.Portable) {
    const std::size_t slash = paths.SettingsPath.rfind('/');
    paths.SettingsPath = folders.InConfig(paths.SettingsPath.substr(slash + 1));
  }
  return paths;
}

bool SettingsFileExists(const std::string& path) {
  return IsRegularFile(path);
}

}  // namespace wavecrate
