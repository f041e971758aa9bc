#include "app/IniFile.h"

#include <filesystem>
#include <limits>
#include <system_error>

#include "common/Files.h"

namespace wavecrate {

namespace {

constexpr std::string_view kBlanks = " \t\v\f";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

std::string_view TrimBlanks(std::string_view s) {
  const std::size_t first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const std::size_t last = s.find_last_not_of(kBlanks);
  return s.substr(first, last - first + 1);
}

// Names are 8-bit text; only ASCII letters fold, so UTF-8 bytes pass untouched.
std::string LowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string NameKey(std::string_view name) {
  return LowerAscii(TrimBlanks(name));
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads leading digits of the given base; nullopt when there is none.
std::optional<long long> LeadingDigits(std::string_view s, int base) {
  constexpr long long kMax = std::numeric_limits<long long>::max();
  long long value = 0;
  bool any = false;
  for (char c : s) {
    const int d = HexDigit(c);
    if (d < 0 || d >= base) break;
    any = true;
    if (value > (kMax - d) / base) {
      value = kMax;  // clamped: a huge number is still not zero
    } else {
      value = value * base + d;
    }
  }
  if (!any) return std::nullopt;
  return value;
}

// Everything before the first character that would end an INI line.
std::string_view FirstLine(std::string_view s) {
  constexpr std::string_view kLineEnds("\r\n\0", 3);
  return s.substr(0, s.find_first_of(kLineEnds));
}

}  // namespace

std::optional<long long> ParseProfileInteger(std::string_view text) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    return LeadingDigits(text.substr(2), 16);
  }
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  const std::optional<long long> value = LeadingDigits(text, 10);
  if (!value) return std::nullopt;
  return negative ? -*value : *value;
}

TIniFile TIniFile::FromText(std::string_view text) {
  TIniFile ini;
  if (text.starts_with(kUtf8Bom)) text.remove_prefix(kUtf8Bom.size());

  TSection* current = nullptr;  // null before the first section and inside a repeated one
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t end = text.find_first_of("\r\n", pos);
    std::string_view line;
    if (end == std::string_view::npos) {
      line = text.substr(pos);
      pos = text.size();
    } else {
      line = text.substr(pos, end - pos);
      pos = end + 1;
      if (text[end] == '\r' && pos < text.size() && text[pos] == '\n') ++pos;
    }

    line = TrimBlanks(line);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      const std::size_t close = line.rfind(']');
      if (close != std::string_view::npos) {
        auto [it, inserted] = ini.sections_.try_emplace(NameKey(line.substr(1, close - 1)));
        current = inserted ? &it->second : nullptr;
        continue;
      }
      // Without a closing bracket the line is read like any other line.
    }
    if (current == nullptr) continue;
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    std::string_view value = line.substr(equals + 1);
    value = TrimBlanks(value.substr(0, value.find('\0')));
    current->keys.try_emplace(NameKey(line.substr(0, equals)), value);
  }
  return ini;
}

bool IsRegularFile(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec);
}

TIniFile TIniFile::FromFile(const std::string& path) {
  const std::optional<std::string> bytes = ReadRegularFile(path);
  return bytes ? FromText(*bytes) : TIniFile();
}

std::optional<std::string> TIniFile::Find(std::string_view section, std::string_view key) const {
  const auto s = sections_.find(NameKey(section));
  if (s == sections_.end()) return std::nullopt;
  const auto k = s->second.keys.find(NameKey(key));
  if (k == s->second.keys.end()) return std::nullopt;

  std::string_view value = k->second;
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return std::string(value.substr(0, kIniMaxValueLength));
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key,
                                 const std::string& def) const {
  std::optional<std::string> value = Find(section, key);
  if (value) return std::move(*value);
  return def;
}

long long TIniFile::ReadInteger(std::string_view section, std::string_view key, long long def) const {
  const std::optional<std::string> text = Find(section, key);
  if (!text) return def;
  return ParseProfileInteger(*text).value_or(def);
}

bool TIniFile::ReadBool(std::string_view section, std::string_view key, bool def) const {
  const std::optional<std::string> text = Find(section, key);
  if (!text) return def;
  const std::optional<long long> value = ParseProfileInteger(*text);
  return value ? *value != 0 : def;
}

void TIniWriter::Section(std::string_view name) {
  if (!text_.empty()) text_ += '\n';
  text_ += '[';
  text_ += FirstLine(name);
  text_ += "]\n";
}

void TIniWriter::Value(std::string_view key, std::string_view value) {
  text_ += FirstLine(key);
  text_ += '=';
  text_ += FirstLine(value);
  text_ += '\n';
}

}  // namespace wavecrate
