#include "common/LogFile.h"

#include <cstdio>

#include "common/Clock.h"

namespace wavecrate {

std::string LogTimeStamp(std::int64_t unixSeconds) {
  const TLocalTime t = LocalTimeOf(unixSeconds);
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d ", t.Year, t.Month, t.Day, t.Hour, t.Minute,
                t.Second);
  return text;
}

std::string StampLines(std::string_view lines, std::string_view stamp) {
  std::string out;
  out.reserve(lines.size() + stamp.size() * 4);
  std::size_t from = 0;
  while (from < lines.size()) {
    std::size_t end = lines.find('\n', from);
    if (end == std::string_view::npos) end = lines.size() - 1;
    out += stamp;
    out.append(lines.substr(from, end - from + 1));
    from = end + 1;
  }
  return out;
}

}  // namespace wavecrate
