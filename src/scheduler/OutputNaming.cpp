#include "scheduler/OutputNaming.h"

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

}  // namespace wavecrate
