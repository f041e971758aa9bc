#include "app/TimeText.h"

#include <cctype>
#include <cstddef>

namespace wavecrate {

namespace {

constexpr int kSecondsPerDay = 24 * 60 * 60;

bool IsBlank(char c) {
  return c == ' ';
}

void SkipBlanks(const std::string& text, std::size_t& pos) {
  while (pos < text.size() && IsBlank(text[pos])) ++pos;
}

// One or two digits after optional blanks; false when there are none or more.
bool ScanNumber(const std::string& text, std::size_t& pos, int& value) {
  SkipBlanks(text, pos);
  std::size_t digits = 0;
  value = 0;
  while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) {
    if (++digits > 2) return false;
    value = value * 10 + (text[pos] - '0');
    ++pos;
  }
  return digits > 0;
}

bool ScanColon(const std::string& text, std::size_t& pos) {
  if (pos < text.size() && text[pos] == ':') {
    ++pos;
    return true;
  }
  return false;
}

}  // namespace

TInvalidTimeError::TInvalidTimeError(const std::string& text)
    : std::runtime_error("'" + text + "' is not a valid time"), text_(text) {}

int ParseTimeOfDay(const std::string& text) {
  std::size_t pos = 0;
  int hours = 0;
  int minutes = 0;
  int seconds = 0;
  if (!ScanNumber(text, pos, hours) || !ScanColon(text, pos) || !ScanNumber(text, pos, minutes)) {
    throw TInvalidTimeError(text);
  }
  if (ScanColon(text, pos) && !ScanNumber(text, pos, seconds)) throw TInvalidTimeError(text);
  SkipBlanks(text, pos);
  if (pos != text.size() || hours > 23 || minutes > 59 || seconds > 59) throw TInvalidTimeError(text);
  return (hours * 60 + minutes) * 60 + seconds;
}

std::string FormatTimeOfDay(long long seconds) {
  long long s = seconds % kSecondsPerDay;
  if (s < 0) s += kSecondsPerDay;
  const int hours = static_cast<int>(s / 3600);
  const int minutes = static_cast<int>(s / 60 % 60);
  const int secs = static_cast<int>(s % 60);
  char buffer[16];
  buffer[0] = static_cast<char>('0' + hours / 10);
  buffer[1] = static_cast<char>('0' + hours % 10);
  buffer[2] = ':';
  buffer[3] = static_cast<char>('0' + minutes / 10);
  buffer[4] = static_cast<char>('0' + minutes % 10);
  buffer[5] = ':';
  buffer[6] = static_cast<char>('0' + secs / 10);
  buffer[7] = static_cast<char>('0' + secs % 10);
  return std::string(buffer, 8);
}

std::string StringReplaceAll(const std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) return text;
  std::string result;
  result.reserve(text.size());
  std::size_t pos = 0;
  for (;;) {
    const std::size_t hit = text.find(from, pos);
    if (hit == std::string::npos) break;
    result.append(text, pos, hit - pos);
    result += to;
    pos = hit + from.size();
  }
  result.append(text, pos, std::string::npos);
  return result;
}

std::string TimeTo24Hour(const std::string& time) {
  std::string r = StringReplaceAll(StringReplaceAll(time, " AM", ""), " PM", "");
  if (time.find("PM") != std::string::npos && r.compare(0, 2, "12") != 0) {
    r = FormatTimeOfDay(static_cast<long long>(ParseTimeOfDay(r)) + 12 * 3600);
  }
  if (time.find("AM") != std::string::npos && r.compare(0, 2, "12") == 0) {
    r.replace(0, 2, "00");
  }
  return r;
}

std::string AddDuration(const std::string& start, const std::string& duration) {
  const long long startSeconds = ParseTimeOfDay(start);
  const long long durationSeconds = ParseTimeOfDay(duration);
  return FormatTimeOfDay(startSeconds + durationSeconds);
}

std::string CleanStreamLink(const std::string& link) {
  return StringReplaceAll(StringReplaceAll(link, "javascript:void(window.open('", ""), "'))", "");
}

}  // namespace wavecrate
