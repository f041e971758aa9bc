#include "scheduler/OutputNaming.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string_view>
#include <system_error>

namespace wavecrate {
namespace {

bool IsBlankOrControl(char c) {
  return static_cast<unsigned char>(c) <= 32;
}

// "0" in front of the decimal number, then the last two characters: 1 gives
// "01", 12 gives "12".
std::string TwoDigits(int value) {
  const std::string padded = "0" + std::to_string(value);
  return padded.substr(padded.size() - 2);
}

}  // namespace

std::string Trim(const std::string& text) {
  std::size_t first = 0;
  std::size_t last = text.size();
  while (first < last && IsBlankOrControl(text[first])) ++first;
  while (last > first && IsBlankOrControl(text[last - 1])) --last;
  return text.substr(first, last - first);
}

std::string ReplaceAll(const std::string& text, const std::string& token, const std::string& replacement) {
  if (token.empty()) return text;
  std::string result;
  result.reserve(text.size());
  std::size_t from = 0;
  for (std::size_t at = text.find(token); at != std::string::npos; at = text.find(token, from)) {
    result.append(text, from, at - from);
    result += replacement;
    from = at + token.size();
  }
  result.append(text, from, std::string::npos);
  return result;
}

std::string BuildOutputFileName(const std::string& folder, const std::string& showName,
                                const std::string& fileNameFormat, const TLocalTime& date) {
  std::string name = ReplaceAll(fileNameFormat, "yyyy", std::to_string(date.Year));
  name = ReplaceAll(name, "mm", TwoDigits(date.Month));
  name = ReplaceAll(name, "dd", TwoDigits(date.Day));
  name = ReplaceAll(name, "showname", showName);
  return folder + name + ".mp3";
}

std::string SaveFolderPrefix(const std::string& saveFolder) {
  if (saveFolder.empty() || saveFolder.back() == '/') return saveFolder;
  std::error_code ec;
  return std::filesystem::is_directory(saveFolder, ec) ? saveFolder + "/" : saveFolder;
}

std::string NumberedFileName(const std::string& path, int n) {
  const std::string suffix = " (" + std::to_string(n) + ")";
  constexpr std::string_view kExtension = ".mp3";
  if (path.ends_with(kExtension)) return path.substr(0, path.size() - kExtension.size()) + suffix + ".mp3";
  return path + suffix;
}

TClaimedFile ClaimOutputFile(const std::string& path) {
  // Far more than one show can produce in a day; past it, give up claiming.
  constexpr int kMaxNumber = 10000;
  for (int n = 1; n <= kMaxNumber; ++n) {
    const std::string candidate = n == 1 ? path : NumberedFileName(path, n);
    // "x": create only, failing with EEXIST when the name is taken.
    if (std::FILE* f = std::fopen(candidate.c_str(), "wbx")) {
      std::fclose(f);
      return {candidate, true};
    }
    if (errno != EEXIST) return {candidate, false};
  }
  return {path, false};
}

}  // namespace wavecrate
