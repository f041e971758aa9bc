// When a slot starts a recording, over a whole year of local time in two
// zones with their daylight-saving changes, looked at once a minute as a slot
// thread looks once a second. The expected starts come from each zone's
// offsets and transition instants, worked out here without the time-zone
// library the program uses. The slot thread itself is driven around the same
// transitions in recode_thread_test.cpp; a year of it second by second would
// cost minutes, the decision alone costs a second.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "scheduler/DayCode.h"
#include "scheduler/Occurrence.h"
#include "support/scheduler_fake_clock.h"

namespace wavecrate {
namespace {

constexpr std::int64_t kHour = 3600;

std::int64_t Utc(int year, int month, int day, int hour, int minute) {
  TLocalTime t;
  t.Year = year;
  t.Month = month;
  t.Day = day;
  t.Hour = hour;
  t.Minute = minute;
  return SecondsFromCivil(t);
}

// A zone as two offsets and the two instants of 2024 at which it changes.
struct TZoneRule {
  const char* Name;
  std::int64_t StandardOffset;
  std::int64_t SummerOffset;
  std::int64_t SpringUtc;
  std::int64_t FallUtc;
  // Show times in the skipped and in the repeated hour of this zone.
  const char* SkippedStart;
  const char* SkippedEnd;
  const char* RepeatedStart;
  const char* RepeatedEnd;

  std::int64_t OffsetAt(std::int64_t utc) const {
    return utc >= SpringUtc && utc < FallUtc ? SummerOffset : StandardOffset;
  }
  // The first instant the clock shows a local time (as seconds since 1970),
  // or the spring jump when it never does (then `skipped` is set).
  std::int64_t FirstInstant(std::int64_t local, bool* skipped = nullptr) const {
    std::optional<std::int64_t> first;
    for (std::int64_t offset : {SummerOffset, StandardOffset}) {
      const std::int64_t u = local - offset;
      if (OffsetAt(u) == offset && (!first || u < *first)) first = u;
    }
    if (skipped) *skipped = !first;
    return first ? *first : SpringUtc;
  }
};

const TZoneRule kNewYork{
    "America/New_York", -5 * kHour, -4 * kHour, Utc(2024, 3, 10, 7, 0), Utc(2024, 11, 3, 6, 0), "02:30:00",
    "03:10:00",         "01:30:00", "01:50:00"};
const TZoneRule kLondon{
    "Europe/London", 0,          kHour,     Utc(2024, 3, 31, 1, 0), Utc(2024, 10, 27, 1, 0), "01:30:00",
    "02:10:00",      "01:20:00", "01:40:00"};

void PrintTo(const TZoneRule& zone, std::ostream* out) {
  *out << zone.Name;
}

TSlotSettings Show(const char* start, const char* end, int dayFlags) {
  TSlotSettings s;
  s.Enabled = true;
  s.StartTime = start;
  s.EndTime = end;
  s.DayFlags = dayFlags;
  return s;
}

int MinuteOf(const std::string& time) {
  return std::stoi(time.substr(0, 2)) * 60 + std::stoi(time.substr(3, 2));
}

struct TStart {
  std::int64_t At;  // when Check said to record
  TOccurrence Occurrence;
};

class OccurrenceYearTest : public ::testing::TestWithParam<TZoneRule> {};

TEST_P(OccurrenceYearTest, EveryShowOfTheYearStartsOnceAtItsInstant) {
  const TZoneRule& zone = GetParam();
  test::TScopedTimeZone tz(zone.Name);
  const std::vector<TSlotSettings> slots = {
      Show(zone.SkippedStart, zone.SkippedEnd, 1),    // its start hour is skipped one day a year
      Show(zone.RepeatedStart, zone.RepeatedEnd, 1),  // its start minute is shown twice one day
      Show("23:00:00", "01:00:00", 10),               // weekdays, past midnight
      Show("08:30:00", "09:00:00", 1100),             // weekends
  };
  std::vector<TOccurrenceWatch> watches(slots.size());
  std::map<std::size_t, std::vector<TStart>> starts;

  const std::int64_t firstDay = Utc(2024, 1, 1, 0, 0) / 86400;
  const std::int64_t lastDay = Utc(2024, 12, 31, 0, 0) / 86400;
  auto localAt = [&](std::int64_t day, int hour, int minute) {
    return zone.FirstInstant(day * 86400 + hour * kHour + minute * 60);
  };
  const std::int64_t yearEnd = localAt(lastDay + 1, 0, 0);
  // The clock misbehaves three times: stepped back an hour over a finished
  // weekend show, stepped forward into one, and stopped (a machine asleep)
  // across a night show's start.
  const std::int64_t stepBackAt = localAt(Utc(2024, 6, 15, 0, 0) / 86400, 9, 10);  // Saturday
  const std::int64_t stepForwardAt = localAt(Utc(2024, 6, 22, 0, 0) / 86400, 8, 20);
  const std::int64_t sleepAt = localAt(Utc(2024, 9, 11, 0, 0) / 86400, 22, 50);  // Wednesday
  const std::int64_t wakeAt = localAt(Utc(2024, 9, 12, 0, 0) / 86400, 0, 20);
  bool steppedBack = false;

  for (std::int64_t t = localAt(firstDay, 0, 0); t < yearEnd; t += 60) {
    if (t == stepBackAt && !steppedBack) {
      steppedBack = true;
      t -= kHour;
    } else if (t == stepForwardAt) {
      t += 20 * 60;
    } else if (t == sleepAt) {
      t = wakeAt;
    }
    const TLocalTime now = LocalTimeOf(t);
    for (std::size_t i = 0; i < slots.size(); ++i) {
      if (auto o = watches[i].Check(slots[i], now, false)) starts[i].push_back({t, *o});
    }
  }

  for (std::size_t i = 0; i < slots.size(); ++i) {
    const int start = MinuteOf(slots[i].StartTime);
    const int length = (MinuteOf(slots[i].EndTime) - start + 1440) % 1440;
    std::vector<TStart> expected;
    for (std::int64_t day = firstDay; day <= lastDay; ++day) {
      const TLocalTime date = CivilFromSeconds(day * 86400);
      if (!IsScheduledToday(slots[i].DayFlags, date.DayOfWeek)) continue;
      TStart e;
      e.Occurrence.Day = day;
      bool skipped = false;
      e.Occurrence.StartUnix = zone.FirstInstant(day * 86400 + start * 60, &skipped);
      e.Occurrence.EndUnix = zone.FirstInstant(day * 86400 + (start + length) * 60);
      e.At = e.Occurrence.StartUnix;
      // A start the clock never shows is made, late, when the clock jumps over
      // it; a show that lies wholly in the skipped hour has nothing to record.
      e.Occurrence.Joined = skipped;
      if (skipped && e.Occurrence.EndUnix <= e.Occurrence.StartUnix) continue;
      if (e.Occurrence.StartUnix < stepForwardAt + 20 * 60 &&
          e.Occurrence.EndUnix > stepForwardAt + 20 * 60 && e.Occurrence.StartUnix > stepForwardAt) {
        e.At = stepForwardAt + 20 * 60;
        e.Occurrence.Joined = true;
      }
      if (e.Occurrence.StartUnix > sleepAt && e.Occurrence.StartUnix <= wakeAt) {
        if (e.Occurrence.EndUnix <= wakeAt) continue;  // over before the wake
        e.At = wakeAt;
        e.Occurrence.Joined = true;
      }
      if (e.Occurrence.StartUnix >= yearEnd) continue;
      expected.push_back(e);
    }
    const std::vector<TStart>& got = starts[i];
    ASSERT_EQ(got.size(), expected.size()) << zone.Name << " slot " << i;
    for (std::size_t k = 0; k < got.size(); ++k) {
      const TLocalTime day = CivilFromSeconds(expected[k].Occurrence.Day * 86400);
      const std::string where = std::string(zone.Name) + " slot " + std::to_string(i) + " on " +
                                std::to_string(day.Month) + "/" + std::to_string(day.Day);
      EXPECT_EQ(got[k].At, expected[k].At) << where;
      EXPECT_EQ(got[k].Occurrence.Day, expected[k].Occurrence.Day) << where;
      EXPECT_EQ(got[k].Occurrence.Date.Day, day.Day) << where << ": the file is named after the start's date";
      EXPECT_EQ(got[k].Occurrence.StartUnix, expected[k].Occurrence.StartUnix) << where;
      EXPECT_EQ(got[k].Occurrence.EndUnix, expected[k].Occurrence.EndUnix) << where;
      EXPECT_EQ(got[k].Occurrence.Joined, expected[k].Occurrence.Joined) << where;
    }
  }
  // The oracle's own sense: 366 daily shows in 2024, the skipped one joined.
  EXPECT_EQ(starts[0].size(), 366u);
  EXPECT_GE(starts[1].size(), 365u);
  int joined = 0;
  for (const TStart& s : starts[0]) joined += s.Occurrence.Joined ? 1 : 0;
  EXPECT_EQ(joined, 1);
}

INSTANTIATE_TEST_SUITE_P(
    TwoZones, OccurrenceYearTest, ::testing::Values(kNewYork, kLondon),
    [](const ::testing::TestParamInfo<TZoneRule>& info) {
      return std::string(info.param.Name).substr(0, std::string(info.param.Name).find('/'));
    });

// With joining switched off a show is never started part-way, yet a start
// that the clock jumps over (the skipped hour) is still made at the jump.
TEST(OccurrenceTest, JoiningOffStillStartsAShowWhoseStartWasSkipped) {
  test::TScopedTimeZone ny("America/New_York");
  TSlotSettings early = Show("02:30:00", "03:30:00", 1);
  early.JoinUnderWay = false;
  TOccurrenceWatch watch;
  const std::int64_t jump = Utc(2024, 3, 10, 7, 0);
  EXPECT_FALSE(watch.Check(early, LocalTimeOf(jump - 1), false));
  const std::optional<TOccurrence> skipped = watch.Check(early, LocalTimeOf(jump), false);
  ASSERT_TRUE(skipped);
  EXPECT_EQ(skipped->StartUnix, jump);
  EXPECT_EQ(skipped->EndUnix, jump + 30 * 60);
  EXPECT_FALSE(watch.Check(early, LocalTimeOf(jump + 20 * 60), true)) << "once only, and never part-way";
}

// A show first seen seconds into its start minute (the program started, the
// slot was saved on) was under way: it is joined, not started on time, while
// a slot watched from before its minute starts on time even a second late.
TEST(OccurrenceTest, AShowFirstSeenSecondsIntoItsStartMinuteIsJoined) {
  test::TScopedTimeZone utc("UTC");
  const TSlotSettings show = Show("08:30:00", "09:00:00", 1);
  const std::int64_t start = Utc(2024, 5, 6, 8, 30);
  TOccurrenceWatch late;
  const std::optional<TOccurrence> joined = late.Check(show, LocalTimeOf(start + 20), true);
  ASSERT_TRUE(joined);
  EXPECT_TRUE(joined->Joined);
  EXPECT_EQ(joined->StartUnix, start);
  TOccurrenceWatch watching;
  EXPECT_FALSE(watching.Check(show, LocalTimeOf(start - 1), false));
  const std::optional<TOccurrence> onTime = watching.Check(show, LocalTimeOf(start + 1), false);
  ASSERT_TRUE(onTime);
  EXPECT_FALSE(onTime->Joined);
}

}  // namespace
}  // namespace wavecrate
