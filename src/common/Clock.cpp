#include "common/Clock.h"

#include <algorithm>
#include <thread>

namespace wavecrate {
namespace {

class TSystemClock final : public Clock {
 public:
  TLocalTime Now() const override {
    const auto now = std::chrono::system_clock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    return LocalTimeOf(ms / 1000, static_cast<int>(ms % 1000));
  }

  void SleepUntilNextSecond() override {
    const auto now = std::chrono::system_clock::now();
    const auto next = std::chrono::ceil<std::chrono::seconds>(now + std::chrono::milliseconds(1));
    // A few milliseconds past the boundary, so that the clock read after the
    // wake-up is safely inside the new second. The wait is a duration, not a
    // wall-clock deadline: sleep_until on the system clock keeps sleeping
    // until the wall clock gets there, so a clock stepped back by an hour
    // would keep the slot threads asleep for that hour.
    const auto wait = next + std::chrono::milliseconds(2) - now;
    std::this_thread::sleep_for(std::clamp<std::chrono::system_clock::duration>(
        wait, std::chrono::system_clock::duration::zero(), std::chrono::milliseconds(1002)));
  }

  void SleepFor(std::chrono::milliseconds duration) override { std::this_thread::sleep_for(duration); }
};

// Seconds since 1970 of the local date and time the clock shows at an
// instant, so that local times compare as numbers.
std::int64_t LocalSeconds(std::int64_t unixSeconds) {
  return SecondsFromCivil(LocalTimeOf(unixSeconds));
}

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

TLocalInstants InstantsOfLocalTime(const TLocalTime& local) {
  const std::int64_t wanted = SecondsFromCivil(local);
  // The offsets from UTC a day either side: two transitions are never that
  // close, so between them they hold every offset the zone has near `wanted`.
  constexpr std::int64_t kDay = 86400;
  const std::int64_t before = LocalSeconds(wanted - kDay) - (wanted - kDay);
  const std::int64_t after = LocalSeconds(wanted + kDay) - (wanted + kDay);
  std::int64_t candidates[2] = {wanted - std::max(before, after), wanted - std::min(before, after)};

  TLocalInstants result;
  bool found = false;
  for (std::int64_t u : candidates) {
    if (LocalSeconds(u) != wanted) continue;
    if (!found) {
      result.First = u;
      found = true;
    } else if (u != result.First) {
      result.Repeat = u;
    }
  }
  if (found) return result;

  // The clock skips the wanted time: find the first instant whose local time
  // lies beyond it, which is the moment of the jump. Local time only grows
  // across a forward jump, so the search is a plain bisection.
  result.Skipped = true;
  std::int64_t lo = candidates[0];
  std::int64_t hi = candidates[1];
  while (lo < hi) {
    const std::int64_t mid = lo + (hi - lo) / 2;
    if (LocalSeconds(mid) > wanted) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  result.First = lo;
  return result;
}

}  // namespace wavecrate
