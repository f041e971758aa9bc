// Every reading of the local date and time goes through a Clock, so that the
// schedule logic can be driven through weeks of simulated time in tests.
#pragma once

#include <chrono>
#include <cstdint>

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

// Calendar fields of a count of seconds since 1970-01-01 00:00:00, without any
// time-zone adjustment (the count is taken as local time already).
TLocalTime CivilFromSeconds(std::int64_t seconds, int millisecond = 0);
// The inverse of CivilFromSeconds (DayOfWeek and Millisecond are ignored).
std::int64_t SecondsFromCivil(const TLocalTime& t);

}  // namespace wavecrate
