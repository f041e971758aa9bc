// What this user may do in a folder, as the operating system decides it
// (permissions, access lists, read-only mounts). Declared here for the core;
// each system's binding (common/posix) says how.
#pragma once

#include <string>

namespace wavecrate {

// Whether a file can be created in the folder: it exists, is a folder, and
// this user may add files to it.
bool FolderTakesFiles(const std::string& folder);

}  // namespace wavecrate
