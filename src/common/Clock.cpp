#include "common/Clock.h"

#include <ctime>
#include <thread>

namespace wavecrate {
namespace {

class TSystemClock final : public Clock {
 public:
  TLocalTime Now() const override {
    const auto now = std::chrono::system_clock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    const std::time_t secs = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    localtime_r(&secs, &tm);
    TLocalTime t;
    t.Year = tm.tm_year + 1900;
    t.Month = tm.tm_mon + 1;
    t.Day = tm.tm_mday;
    t.Hour = tm.tm_hour;
    t.Minute = tm.tm_min;
    t.Second = tm.tm_sec;
    t.Millisecond = static_cast<int>(ms % 1000);
    t.DayOfWeek = tm.tm_wday == 0 ? 7 : tm.tm_wday;
    t.UnixSeconds = static_cast<std::int64_t>(secs);
    return t;
  }

  void SleepUntilNextSecond() override {
    const auto now = std::chrono::system_clock::now();
    const auto next = std::chrono::ceil<std::chrono::seconds>(now + std::chrono::milliseconds(1));
    // A few milliseconds past the boundary, so that the clock read after the
    // wake-up is safely inside the new second.
    std::this_thread::sleep_until(next + std::chrono::milliseconds(2));
  }

  void SleepFor(std::chrono::milliseconds duration) override { std::this_thread::sleep_for(duration); }
};

}  // namespace

Clock& SystemClock() {
  static TSystemClock clock;
  return clock;
}

// Days/civil conversions after H. Hinnant's public-domain date algorithms.
TLocalTime CivilFromSeconds(std::int64_t seconds, int millisecond) {
  std::int64_t days = seconds / 86400;
  std::int64_t rem = seconds % 86400;
  if (rem < 0) {
    rem += 86400;
    --days;
  }
  TLocalTime t;
  t.Hour = static_cast<int>(rem / 3600);
  t.Minute = static_cast<int>(rem / 60 % 60);
  t.Second = static_cast<int>(rem % 60);
  t.Millisecond = millisecond;
  // 1970-01-01 was a Thursday (ISO 4).
  t.DayOfWeek = static_cast<int>(((days % 7) + 7 + 3) % 7) + 1;

  const std::int64_t z = days + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  t.Day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  t.Month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  t.Year = static_cast<int>(yoe + era * 400 + (t.Month <= 2 ? 1 : 0));
  return t;
}

std::int64_t SecondsFromCivil(const TLocalTime& t) {
  const std::int64_t y = t.Year - (t.Month <= 2 ? 1 : 0);
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t m = t.Month;
  const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + t.Day - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const std::int64_t days = era * 146097 + doe - 719468;
  return days * 86400 + t.Hour * 3600 + t.Minute * 60 + t.Second;
}

}  // namespace wavecrate
