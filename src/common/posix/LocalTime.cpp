#include <algorithm>
#include <ctime>

#include "common/Clock.h"

namespace wavecrate {

TLocalTime LocalTimeOf(std::int64_t unixSeconds, int millisecond) {
  const std::time_t secs = static_cast<std::time_t>(unixSeconds);
  std::tm tm{};
  if (localtime_r(&secs, &tm) == nullptr) {
    TLocalTime t = CivilFromSeconds(unixSeconds, millisecond);
    t.UnixSeconds = unixSeconds;
    return t;
  }
  TLocalTime t;
  t.Year = tm.tm_year + 1900;
  t.Month = tm.tm_mon + 1;
  t.Day = tm.tm_mday;
  t.Hour = tm.tm_hour;
  t.Minute = tm.tm_min;
  // A leap second (60) would make the minute look one second longer.
  t.Second = std::min(tm.tm_sec, 59);
  t.Millisecond = millisecond;
  t.DayOfWeek = tm.tm_wday == 0 ? 7 : tm.tm_wday;
  t.UnixSeconds = unixSeconds;
  return t;
}

}  // namespace wavecrate
