#include "common/Http.h"

#include <filesystem>

#include "common/Executables.h"

namespace wavecrate {

std::string ProgramFileName() {
  return std::filesystem::path(OwnExecutablePath()).filename().string();
}

}  // namespace wavecrate
