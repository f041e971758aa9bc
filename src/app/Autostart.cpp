#include "app/Autostart.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "app/IniFile.h"

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
  struct stat st {};
  return !entryPath.empty() && lstat(entryPath.c_str(), &st) == 0;
}

void SetAutostart(const std::string& entryPath, const std::string& exePath, bool enabled) {
  if (entryPath.empty()) throw std::system_error(ENOENT, std::generic_category(), "no home folder");
  if (!enabled) {
    if (unlink(entryPath.c_str()) != 0 && errno != ENOENT) {
      throw std::system_error(errno, std::generic_category(), entryPath);
    }
    return;
  }
  const std::string folder = entryPath.substr(0, entryPath.rfind('/'));
  const std::string parent = folder.substr(0, folder.rfind('/'));
  for (const std::string& f : {parent, folder}) {
    if (mkdir(f.c_str(), 0700) != 0 && errno != EEXIST) {
      throw std::system_error(errno, std::generic_category(), f);
    }
  }
  WriteFileAtomically(entryPath, AutostartEntryText(exePath));
}

}  // namespace wavecrate
