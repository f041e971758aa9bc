#include "common/Http.h"

#include <filesystem>
#include <system_error>

namespace wavecrate {

std::string ProgramFileName() {
  std::error_code error;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return "";
  return exe.filename().string();
}

}  // namespace wavecrate
