// "Start with the Desktop": an XDG autostart entry for this program in
// $XDG_CONFIG_HOME/autostart/. The entry's presence is the setting itself,
// so the settings file keeps exactly its keys.
#pragma once

#include <string>

#include "common/ProgramFolders.h"

namespace wavecrate {

// The program's desktop-entry and AppStream identifier (also its icon name).
inline constexpr const char* kDesktopId = "example.wavecrate.Recorder";

// $XDG_CONFIG_HOME/autostart/<id>.desktop, "" when there is no home folder.
std::string AutostartEntryPath(const TXdgEnvironment& env);

// The entry's text: it starts the executable at exePath (so a portable copy
// starts itself, not some installed one), quoted as desktop entries require.
std::string AutostartEntryText(const std::string& exePath);

// A desktop entry's Exec argument for a path: bare when it holds only
// harmless characters, else in double quotes with `"`, `` ` ``, `$` and `\`
// escaped; "%" is always doubled.
std::string QuoteExecArgument(const std::string& path);

bool AutostartEnabled(const std::string& entryPath);

// Writes (atomically, making the folder as needed) or removes the entry.
// Throws std::system_error when that fails; removing a missing entry is fine.
void SetAutostart(const std::string& entryPath, const std::string& exePath, bool enabled);

}  // namespace wavecrate
