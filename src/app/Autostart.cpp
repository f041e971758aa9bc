#include "app/Autostart.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "common/Files.h"

namespace wavecrate {

std::string AutostartEntryPath(const TXdgEnvironment& env) {
  const std::string config = XdgConfigHome(env);
  if (config.empty()) return {};
  return config + "/autostart/" + kDesktopId + ".desktop";
}

std::string QuoteExecArgument(const std::string& path) {
  bool plain = !path.empty();
  for (char c : path) {
    const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '/' || c == '.' || c == '_' || c == '-' || c == '+' || c == ',' || c == '%';
    if (!safe) plain = false;
  }
  std::string out;
  if (!plain) out += '"';
  for (char c : path) {
    if (c == '%') {
      out += "%%";
      continue;
    }
    if (!plain && (c == '"' || c == '`' || c == '$' || c == '\\')) out += '\\';
    out += c;
  }
  if (!plain) out += '"';
  // The entry's own escape rules apply on top of the quoting: a backslash in
  // a value is written as two, and line breaks and tabs as escapes, so no
  // path can end the line.
  std::string escaped;
  for (char c : out) {
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '\n') {
      escaped += "\\n";
    } else if (c == '\r') {
      escaped += "\\r";
    } else if (c == '\t') {
      escaped += "\\t";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

std::string AutostartEntryText(const std::string& exePath) {
  return std::string(
             "[Desktop Entry]\n"
             "Type=Application\n"
             "Name=Wavecrate Talk Radio Recorder\n"
             "Comment=Records the scheduled talk-radio shows\n"
             "Exec=") +
         QuoteExecArgument(exePath) + "\nIcon=" + kDesktopId +
         "\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n";
}

bool AutostartEnabled(const std::string& entryPath) {
  std::error_code ec;
  return !entryPath.empty() && std::filesystem::exists(std::filesystem::symlink_status(entryPath, ec));
}

void SetAutostart(const std::string& entryPath, const std::string& exePath, bool enabled) {
  if (entryPath.empty()) throw std::system_error(ENOENT, std::generic_category(), "no home folder");
  if (!enabled) {
    std::error_code ec;
    std::filesystem::remove(entryPath, ec);
    if (ec) throw std::system_error(ec, entryPath);
    return;
  }
  std::string where;
  const std::error_code ec =
      MakePrivateFolders(std::filesystem::path(entryPath).parent_path().string(), &where);
  if (ec) throw std::system_error(ec, where);
  WriteFileAtomically(entryPath, AutostartEntryText(exePath));
}

}  // namespace wavecrate
