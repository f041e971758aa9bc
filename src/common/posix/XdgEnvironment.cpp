#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "common/ProgramFolders.h"

namespace wavecrate {

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

TXdgEnvironment TXdgEnvironment::FromProcess() {
  TXdgEnvironment env;
  env.Home = Env("HOME");
  if (env.Home.empty()) {
    std::vector<char> buffer(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &pw, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr) {
      env.Home = found->pw_dir;
    }
  }
  env.ConfigHome = Env("XDG_CONFIG_HOME");
  env.CacheHome = Env("XDG_CACHE_HOME");
  env.StateHome = Env("XDG_STATE_HOME");
  return env;
}

}  // namespace wavecrate
