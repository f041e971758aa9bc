// The running programs' executables, as the operating system tells them:
// our own, and those of this user's other processes. Declared here for the
// core; each system's binding (common/linux) says how.
#pragma once

#include <string>
#include <vector>

namespace wavecrate {

// Full path of the running executable ("" when the system does not say). A
// file deleted or replaced while it runs is still given by its path.
std::string OwnExecutablePath();

// The executable file name of every process of this user whose executable
// can be read, in the system's order; other users' processes and unreadable
// ones are skipped, and a system that lists none gives an empty list. As for
// our own, a file deleted or replaced while it runs is given by its name, so
// a copy started before an upgrade still counts.
std::vector<std::string> RunningProcessExeFileNames();

}  // namespace wavecrate
