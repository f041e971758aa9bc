// Local time under real zone rules: the hour skipped when daylight-saving
// time begins and the hour repeated when it ends. Getting either wrong moves
// or doubles a scheduled recording.
#include <gtest/gtest.h>

#include <string>

#include "common/Clock.h"
#include "support/scheduler_fake_clock.h"

namespace wavecrate {
namespace {

TLocalTime Civil(int year, int month, int day, int hour, int minute, int second = 0) {
  TLocalTime t;
  t.Year = year;
  t.Month = month;
  t.Day = day;
  t.Hour = hour;
  t.Minute = minute;
  t.Second = second;
  return t;
}

std::int64_t Utc(int year, int month, int day, int hour, int minute) {
  return SecondsFromCivil(Civil(year, month, day, hour, minute));
}

TEST(TimeZoneTest, SkippedRepeatedAndOrdinaryLocalTimesInTwoZones) {
  struct Row {
    const char* Zone;
    TLocalTime Local;
    std::int64_t First;
    std::int64_t Repeat;  // 0: shown once (or never)
    bool Skipped;
  };
  const Row rows[] = {
      // New York 2024: 02:00 EST becomes 03:00 EDT on 10 March (07:00 UTC);
      // 02:00 EDT becomes 01:00 EST on 3 November (06:00 UTC).
      {"America/New_York", Civil(2024, 3, 10, 2, 30), Utc(2024, 3, 10, 7, 0), 0, true},
      {"America/New_York", Civil(2024, 3, 10, 1, 59), Utc(2024, 3, 10, 6, 59), 0, false},
      {"America/New_York", Civil(2024, 3, 10, 3, 0), Utc(2024, 3, 10, 7, 0), 0, false},
      {"America/New_York", Civil(2024, 11, 3, 1, 30), Utc(2024, 11, 3, 5, 30), Utc(2024, 11, 3, 6, 30),
       false},
      {"America/New_York", Civil(2024, 11, 3, 2, 0), Utc(2024, 11, 3, 7, 0), 0, false},
      {"America/New_York", Civil(2024, 7, 1, 12, 0), Utc(2024, 7, 1, 16, 0), 0, false},
      // London 2024: 01:00 GMT becomes 02:00 BST on 31 March; 02:00 BST
      // becomes 01:00 GMT on 27 October (both at 01:00 UTC).
      {"Europe/London", Civil(2024, 3, 31, 1, 30), Utc(2024, 3, 31, 1, 0), 0, true},
      {"Europe/London", Civil(2024, 10, 27, 1, 15), Utc(2024, 10, 27, 0, 15), Utc(2024, 10, 27, 1, 15),
       false},
      {"Europe/London", Civil(2024, 1, 15, 9, 0), Utc(2024, 1, 15, 9, 0), 0, false},
  };
  for (const Row& row : rows) {
    test::TScopedTimeZone zone(row.Zone);
    const TLocalInstants at = InstantsOfLocalTime(row.Local);
    const std::string where = std::string(row.Zone) + " " + std::to_string(row.Local.Month) + "/" +
                              std::to_string(row.Local.Day) + " " + std::to_string(row.Local.Hour) + ":" +
                              std::to_string(row.Local.Minute);
    EXPECT_EQ(at.First, row.First) << where;
    EXPECT_EQ(at.Repeat.value_or(0), row.Repeat) << where;
    EXPECT_EQ(at.Skipped, row.Skipped) << where;
    // Reading the clock at that instant gives the time back, unless skipped.
    const TLocalTime back = LocalTimeOf(at.First);
    EXPECT_EQ(back.UnixSeconds, at.First);
    if (!row.Skipped) {
      EXPECT_EQ(SecondsFromCivil(back), SecondsFromCivil(row.Local)) << where;
    }
  }
}

TEST(TimeZoneTest, TheClockJumpsOverTheSkippedHourAndShowsTheRepeatedOneTwice) {
  test::TScopedTimeZone zone("America/New_York");
  const std::int64_t spring = Utc(2024, 3, 10, 7, 0);
  const TLocalTime before = LocalTimeOf(spring - 1);
  const TLocalTime after = LocalTimeOf(spring);
  EXPECT_EQ(before.Hour * 3600 + before.Minute * 60 + before.Second, 1 * 3600 + 59 * 60 + 59);
  EXPECT_EQ(after.Hour * 60 + after.Minute, 3 * 60);
  EXPECT_EQ(after.DayOfWeek, 7);  // a Sunday

  const std::int64_t fall = Utc(2024, 11, 3, 6, 0);
  EXPECT_EQ(LocalTimeOf(fall - 1).Hour, 1);
  EXPECT_EQ(LocalTimeOf(fall).Hour, 1);
  EXPECT_EQ(LocalTimeOf(fall).Minute, 0);
  EXPECT_EQ(LocalTimeOf(fall + 3600).Hour, 2);
}

}  // namespace
}  // namespace wavecrate
