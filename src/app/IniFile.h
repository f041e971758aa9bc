// Reading and writing of INI text with the rules of the Windows
// private-profile functions, which the settings file has always followed.
//
// Reading rules:
// - "[name]" starts a section; the name is what lies between the "[" and the
//   last "]" on the line, blanks around it ignored.
// - "key=value" lines belong to the section above them; lines before the first
//   section, lines without "=", and lines whose first non-blank character is
//   ";" are ignored.
// - Section and key names match without regard to (ASCII) case, blanks around
//   them ignored. The first matching section and the first matching key in it
//   win; a repeated section or key later in the file is never seen.
// - Blanks (spaces, tabs) around a value are dropped; then a value held in one
//   pair of matching double or single quotes loses them; then at most 2,047
//   characters are kept. A value is cut at a NUL byte, as a C string would be.
// - Lines end with LF, CRLF or CR, mixed freely. A UTF-8 byte-order mark at the
//   start of the text is skipped.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace wavecrate {

inline constexpr std::size_t kIniMaxValueLength = 2047;

// Parses an integer value the way the private-profile functions do: text that
// starts with "0x" or "0X" and is longer than two characters is hexadecimal,
// anything else decimal with an optional sign. Leading digits are read and the
// rest of the text is ignored ("2abc" is 2, "0x1g" is 1). Text with no digit
// where one is needed ("yes", "", "0xzz", "-") is not a number: nullopt.
// Values beyond the range of long long are clamped, so they stay non-zero.
std::optional<long long> ParseProfileInteger(std::string_view text);

// True when path names a regular file (symbolic links followed). A FIFO, a
// device, a socket or a folder named like a settings file is no settings file.
bool IsRegularFile(const std::string& path);

class TIniFile {
 public:
  TIniFile() = default;

  static TIniFile FromText(std::string_view text);
  // A file that is missing or cannot be read gives an empty TIniFile, so every
  // read then takes its default. Anything but a regular file (a FIFO, a
  // device, a folder) counts as missing and is never waited on.
  static TIniFile FromFile(const std::string& path);

  // The value under the reading rules, or nullopt when the key is absent
  // (a key that is present with nothing after "=" gives "").
  std::optional<std::string> Find(std::string_view section, std::string_view key) const;

  std::string ReadString(std::string_view section, std::string_view key, const std::string& def) const;
  // A missing or non-numeric value gives def.
  long long ReadInteger(std::string_view section, std::string_view key, long long def) const;
  // Any non-zero integer is true; a missing or non-numeric value gives def.
  bool ReadBool(std::string_view section, std::string_view key, bool def) const;

 private:
  struct TSection {
    // Lower-cased key -> raw value (blanks already trimmed); first one kept.
    std::unordered_map<std::string, std::string> keys;
  };
  // Lower-cased section name -> keys; only the first section of a name.
  std::unordered_map<std::string, TSection> sections_;
};

// Builds INI text in the order the calls come. Names and values are written
// as given, except that anything from the first line break or NUL on is
// dropped: such a character would end the line and let the rest of the value
// turn into keys or sections of its own.
class TIniWriter {
 public:
  void Section(std::string_view name);
  void Value(std::string_view key, std::string_view value);
  // Booleans are written as "1" and "0".
  void BoolValue(std::string_view key, bool value) { Value(key, value ? "1" : "0"); }
  const std::string& Text() const { return text_; }

 private:
  std::string text_;
};

}  // namespace wavecrate
