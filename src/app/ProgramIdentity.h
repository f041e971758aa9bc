// Who this program is: its title, where its settings file lives, and whether
// another copy of it is already running (the running executables come from
// common/Executables.h).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "common/Executables.h"

namespace wavecrate {

// The executable's file name up to its first ".", first letter upper case and
// the rest lower case: /opt/RECORDER.EXE gives "Recorder", wavecrate gives
// "Wavecrate". Only ASCII letters change case.
std::string ProgramTitle(const std::string& exePath);

// The executable's path with the file name's extension replaced by ".dat", or
// ".dat" appended when it has none. Dots in folder names, and a file name's
// leading dot (a hidden file, not an extension), are left alone.
std::string SettingsPathFor(const std::string& exePath);

// The notification-area tip: the title cut to at most 63 characters (UTF-8
// characters, so a multi-byte one is never split).
inline constexpr std::size_t kTrayTipMaxChars = 63;
std::string TrayTip(const std::string& title);

// A process counts as a copy of this program when its executable's file name
// is a suffix of our own full path (case-sensitive; so "rec" counts for
// /opt/myrec). The list holds ourselves too, so the first match is taken to be
// us and a second one means another copy runs. Empty names never match.
bool IsAlreadyRunning(const std::string& ownExePath, const std::vector<std::string>& processExeFileNames);

}  // namespace wavecrate
