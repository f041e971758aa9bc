#include "app/ProgramIdentity.h"

#include <filesystem>

namespace wavecrate {

namespace {

std::string FileNameOf(const std::string& path) {
  return std::filesystem::path(path).filename().string();
}

char ToUpperAscii(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}
char ToLowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

std::string ProgramTitle(const std::string& exePath) {
  const std::string name = FileNameOf(exePath);
  std::string title = name.substr(0, name.find('.'));
  for (std::size_t i = 0; i < title.size(); ++i) {
    title[i] = i == 0 ? ToUpperAscii(title[i]) : ToLowerAscii(title[i]);
  }
  return title;
}

std::string SettingsPathFor(const std::string& exePath) {
  const std::size_t nameStart = exePath.size() - FileNameOf(exePath).size();
  const std::size_t dot = exePath.rfind('.');
  // An extension's dot lies inside the file name and is not its first character.
  if (dot != std::string::npos && dot > nameStart) return exePath.substr(0, dot) + ".dat";
  return exePath + ".dat";
}

std::string TrayTip(const std::string& title) {
  std::size_t chars = 0;
  for (std::size_t i = 0; i < title.size(); ++i) {
    // A UTF-8 continuation byte belongs to the character before it.
    if ((static_cast<unsigned char>(title[i]) & 0xC0) == 0x80) continue;
    if (chars == kTrayTipMaxChars) return title.substr(0, i);
    ++chars;
  }
  return title;
}

bool IsAlreadyRunning(const std::string& ownExePath, const std::vector<std::string>& processExeFileNames) {
  int matches = 0;
  for (const std::string& name : processExeFileNames) {
    if (name.empty() || !ownExePath.ends_with(name)) continue;
    // The first match is this process itself.
    if (++matches == 2) return true;
  }
  return false;
}

}  // namespace wavecrate
