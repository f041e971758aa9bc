#include "app/IniFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <system_error>

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

[[noreturn]] void Fail(const std::string& what, int error) {
  throw std::system_error(error, std::generic_category(), what);
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
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

TIniFile TIniFile::FromFile(const std::string& path) {
  // Opened without blocking: opening a FIFO for reading would otherwise wait
  // for a writer for ever, and a device might never answer. Only a regular
  // file is read; the check is made on the open descriptor, so swapping the
  // file for something else after a check by name cannot block either.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return {};
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return {};
  }
  std::string bytes;
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // end of file, or a read error: keep what was read
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  return FromText(bytes);
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

void WriteFileAtomically(const std::string& path, std::string_view bytes) {
  namespace fs = std::filesystem;

  // Through a symbolic link, replace the file it names and keep the link.
  std::string target = path;
  struct stat info {};
  if (lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
    if (char* real = realpath(path.c_str(), nullptr)) {
      target = real;
      std::free(real);
    }
  }
  const bool hadFile = stat(target.c_str(), &info) == 0 && S_ISREG(info.st_mode);

  // The temporary file must sit in the same folder (rename cannot cross file
  // systems); a leading dot keeps it out of sight, and the name is kept well
  // below the file-name limit whatever the settings file is called.
  const fs::path targetPath(target);
  const fs::path folder = targetPath.has_parent_path() ? targetPath.parent_path() : fs::path(".");
  const std::string base = targetPath.filename().string().substr(0, 200);
  static std::atomic<unsigned> counter{0};
  std::string temp;
  int fd = -1;
  for (int attempt = 0; fd < 0; ++attempt) {
    temp = (folder / ("." + base + ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(counter++)))
               .string();
    // 0666 lets the umask decide, as for any newly created file.
    fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && (errno != EEXIST || attempt >= 100)) Fail("cannot create " + temp, errno);
  }

  const auto abandon = [&](const std::string& what, int error) {
    if (fd >= 0) close(fd);
    unlink(temp.c_str());
    Fail(what, error);
  };

  // A user who made the file private keeps it private.
  if (hadFile) (void)fchmod(fd, info.st_mode & 07777);

  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = write(fd, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) abandon("cannot write " + temp, errno);
    if (n == 0) abandon("cannot write " + temp, ENOSPC);
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  if (fsync(fd) != 0) abandon("cannot flush " + temp, errno);
  const int closed = close(fd);
  fd = -1;
  if (closed != 0) abandon("cannot close " + temp, errno);
  if (rename(temp.c_str(), target.c_str()) != 0) abandon("cannot rename " + temp + " to " + target, errno);

  // Make the rename itself durable. The new file is in place already, so a
  // failure here leaves nothing to undo.
  const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    (void)fsync(dir);
    close(dir);
  }
}

}  // namespace wavecrate
