// Which weekdays a slot's day code covers. Monday is 1, Sunday 7.
#include <gtest/gtest.h>

#include <string>

#include "scheduler/DayCode.h"

namespace wavecrate {
namespace {

// One character per weekday, Monday first: 'x' when the code is due.
std::string Week(int code) {
  std::string days;
  for (int day = 1; day <= 7; ++day) days += IsScheduledToday(code, day) ? 'x' : '.';
  return days;
}

TEST(DayCodeTest, EachCodeCoversItsWeekdaysExactly) {
  EXPECT_EQ(Week(0), ".......");
  EXPECT_EQ(Week(1), "xxxxxxx");
  EXPECT_EQ(Week(10), "xxxxx..");
  EXPECT_EQ(Week(100), ".....x.");
  EXPECT_EQ(Week(1000), "......x");
  EXPECT_EQ(Week(1100), ".....xx");
  EXPECT_EQ(Week(11), "xxxxxxx");
  EXPECT_EQ(Week(110), "xxxxxx.");
  EXPECT_EQ(Week(1010), "xxxxx.x");
  EXPECT_EQ(Week(1111), "xxxxxxx");
}

TEST(DayCodeTest, MakeDayCodePutsEachFlagInItsOwnDigit) {
  EXPECT_EQ(MakeDayCode(false, false, false, false), 0);
  EXPECT_EQ(MakeDayCode(true, false, false, false), 1);
  EXPECT_EQ(MakeDayCode(false, true, false, false), 10);
  EXPECT_EQ(MakeDayCode(false, false, true, true), 1100);
  EXPECT_EQ(MakeDayCode(true, true, true, true), 1111);
}

}  // namespace
}  // namespace wavecrate
