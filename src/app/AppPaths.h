// Where the running program keeps its settings, and what it calls itself.
#pragma once

#include <string>

#include "common/ProgramFolders.h"

namespace wavecrate {

struct TAppPaths {
  std::string ExePath;       // full path of the executable
  std::string SettingsPath;  // the settings file
  std::string Title;         // program title, from the executable's name

  // The settings file beside the executable (portable use; tests point this
  // at a folder of their own).
  static TAppPaths ForExecutable(const std::string& exePath);
  // The settings file in the folders decided at start-up.
  static TAppPaths ForFolders(const TProgramFolders& folders);
};

// Whether start-up finds a settings file to load: only a regular file counts
// (symbolic links followed). Anything else of that name, a FIFO above all, is
// read as missing, so start-up never waits on it.
bool SettingsFileExists(const std::string& path);

}  // namespace wavecrate
