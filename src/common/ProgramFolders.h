// Where the program keeps its files, decided once at start-up.
//
// A portable copy (its folder is writable and already holds the settings
// file, or it runs from its build folder) keeps everything beside the
// executable. Any other copy is taken to be installed: the settings file and
// the encoder's settings go to $XDG_CONFIG_HOME/wavecrate, the scratch files to
// $XDG_CACHE_HOME/wavecrate, the log and the recordings history to
// $XDG_STATE_HOME/wavecrate; nothing is ever written beside the executable.
#pragma once

#include <string>

namespace wavecrate {

// The raw values of the variables that place an installed program's files,
// "" where unset.
struct TXdgEnvironment {
  std::string Home;
  std::string ConfigHome;
  std::string CacheHome;
  std::string StateHome;
  // This process's environment; HOME falls back to the user's entry in the
  // system's user database (a binding: common/posix).
  static TXdgEnvironment FromProcess();
};

struct TProgramFolders {
  std::string ExePath;
  bool Portable = true;
  std::string ConfigFolder;  // the settings file, mp3encoder.ini
  std::string CacheFolder;   // scratch files ("TempSourceAudio.mp3")
  std::string StateFolder;   // the log file, the recordings history

  // The file of that name in ConfigFolder.
  std::string InConfig(const std::string& fileName) const;
  // The log file: the executable's file name with ".log", in StateFolder.
  std::string LogPath() const;
};

inline constexpr const char* kProgramFolderName = "wavecrate";

// Everything beside the executable.
TProgramFolders PortableFolders(const std::string& exePath);

// The rule above; `settingsPath` is the settings file beside the executable
// (whose presence marks a portable copy). XDG variables that hold relative paths are ignored, as the
// base-directory convention asks; the defaults are ~/.config, ~/.cache and
// ~/.local/state. With no home folder at all the copy stays portable, since
// there is nowhere else to go.
TProgramFolders DecideProgramFolders(const std::string& exePath, const std::string& settingsPath,
                                     const TXdgEnvironment& env);

// The installed copy's half of the rule alone, from the environment's values
// only: the XDG folders, or beside the executable without a home folder.
TProgramFolders XdgProgramFolders(const std::string& exePath, const TXdgEnvironment& env);

// $XDG_CONFIG_HOME (or its default) for this environment; "" without a home.
std::string XdgConfigHome(const TXdgEnvironment& env);

// Makes the three folders (and their parents) with mode 0700 where missing.
// False when one cannot be made; `error` then says which and why.
bool CreateProgramFolders(const TProgramFolders& folders, std::string* error);

// The process-wide choice. Until main() sets it, every folder is the running
// executable's own (the program's long-standing behaviour, which tests rely
// on). Safe to read from any thread.
void SetProgramFolders(const TProgramFolders& folders);
TProgramFolders ProgramFolders();

}  // namespace wavecrate
