// Every reading of the local date and time goes through a Clock, so that the
// schedule logic can be driven through weeks of simulated time in tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace wavecrate {

// A broken-down local date and time.
struct TLocalTime {
  int Year = 1970;
  int Month = 1;   // 1..12
  int Day = 1;     // 1..31
  int Hour = 0;    // 0..23
  int Minute = 0;  // 0..59
  int Second = 0;  // 0..59
  int Millisecond = 0;
  int DayOfWeek = 4;  // ISO: Monday 1 .. Sunday 7 (1 January 1970 was a Thursday)
  // The same instant as seconds since 1970-01-01 00:00:00 UTC, so that two
  // readings can be compared across daylight-saving changes and clock steps.
  std::int64_t UnixSeconds = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;
  // The local date and time now.
  virtual TLocalTime Now() const = 0;
  // Sleeps until this clock's next whole-second boundary, so that a check
  // made right after sees a new second within milliseconds of its start.
  virtual void SleepUntilNextSecond() = 0;
  // Sleeps for the given time as this clock counts it.
  virtual void SleepFor(std::chrono::milliseconds duration) = 0;
};

// The system's local time.
Clock& SystemClock();

// The local date and time of an instant (seconds since 1970, UTC) under the
// process's time-zone rules (TZ, else /etc/localtime); UnixSeconds is filled.
// A program that changes TZ while it runs must call tzset() afterwards.
// A binding: common/posix.
TLocalTime LocalTimeOf(std::int64_t unixSeconds, int millisecond = 0);

// Where a local date and time (Year .. Second) falls on the time line.
struct TLocalInstants {
  // The earliest instant at which the clock shows that time. When the clock
  // never shows it (the hour skipped when daylight-saving time begins), the
  // instant at which the clock jumps over it.
  std::int64_t First = 0;
  // The second instant of a time that the clock shows twice (the hour
  // repeated when daylight-saving time ends).
  std::optional<std::int64_t> Repeat;
  bool Skipped = false;
};
TLocalInstants InstantsOfLocalTime(const TLocalTime& local);

// Calendar fields of a count of seconds since 1970-01-01 00:00:00, without any
// time-zone adjustment (the count is taken as local time already).
TLocalTime CivilFromSeconds(std::int64_t seconds, int millisecond = 0);
// The inverse of CivilFromSeconds (DayOfWeek and Millisecond are ignored).
std::int64_t SecondsFromCivil(const TLocalTime& t);

}  // namespace wavecrate
