#include "common/FolderAccess.h"

#include <unistd.h>

#include <filesystem>
#include <system_error>

namespace wavecrate {

bool FolderTakesFiles(const std::string& folder) {
  std::error_code ec;
  return std::filesystem::is_directory(folder, ec) && ::access(folder.c_str(), W_OK | X_OK) == 0;
}

}  // namespace wavecrate
