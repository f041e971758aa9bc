#include "app/TimeText.h"

#include <gtest/gtest.h>

#include <string>

namespace wavecrate {
namespace {

TEST(TimeTo24Hour, MidnightAndNoonHours) {
  EXPECT_EQ(TimeTo24Hour("12:00:00 AM"), "00:00:00");
  EXPECT_EQ(TimeTo24Hour("12:15:00 AM"), "00:15:00");
  EXPECT_EQ(TimeTo24Hour("12:00:00 PM"), "12:00:00");
  EXPECT_EQ(TimeTo24Hour("12:15:00 PM"), "12:15:00");
}

TEST(TimeTo24Hour, AfternoonGainsTwelveHoursMorningUnchanged) {
  EXPECT_EQ(TimeTo24Hour("07:05:09 PM"), "19:05:09");
  EXPECT_EQ(TimeTo24Hour("11:59:59 PM"), "23:59:59");
  EXPECT_EQ(TimeTo24Hour("01:00:00 PM"), "13:00:00");
  EXPECT_EQ(TimeTo24Hour("07:05:09 AM"), "07:05:09");
  EXPECT_EQ(TimeTo24Hour("00:00:00 AM"), "00:00:00");
  // A single-digit hour and a blank left by typing are still read.
  EXPECT_EQ(TimeTo24Hour("7:05:09 PM"), "19:05:09");
  EXPECT_EQ(TimeTo24Hour(" 7:05:09 PM"), "19:05:09");
}

TEST(TimeTo24Hour, TextsWithoutAmOrPmPassUnchanged) {
  // Durations, and starts already in 24-hour form (from a settings file).
  EXPECT_EQ(TimeTo24Hour("01:30:00"), "01:30:00");
  EXPECT_EQ(TimeTo24Hour("12:00:00"), "12:00:00");
  EXPECT_EQ(TimeTo24Hour("19:45:00"), "19:45:00");
  EXPECT_EQ(TimeTo24Hour(""), "");
  // The tests for AM and PM are case-sensitive.
  EXPECT_EQ(TimeTo24Hour("07:00:00 pm"), "07:00:00 pm");
}

TEST(TimeTo24Hour, UnreadablePmTimeThrowsWithItsText) {
  try {
    TimeTo24Hour("ab:cd:ef PM");
    FAIL() << "no exception";
  } catch (const TInvalidTimeError& e) {
    EXPECT_STREQ(e.what(), "'ab:cd:ef' is not a valid time");
    EXPECT_EQ(e.Text(), "ab:cd:ef");
  }
  EXPECT_THROW(TimeTo24Hour("25:00:00 PM"), TInvalidTimeError);
  // An AM text is never read, so it passes as it is.
  EXPECT_EQ(TimeTo24Hour("ab:cd:ef AM"), "ab:cd:ef");
}

TEST(AddDuration, AddsAndWrapsPastMidnight) {
  EXPECT_EQ(AddDuration("23:30:00", "01:00:00"), "00:30:00");
  EXPECT_EQ(AddDuration("19:05:09", "01:30:00"), "20:35:09");
  EXPECT_EQ(AddDuration("00:00:00", "00:00:00"), "00:00:00");
  EXPECT_EQ(AddDuration("23:59:59", "00:00:01"), "00:00:00");
  EXPECT_EQ(AddDuration("10:00:00", "12:00:00"), "22:00:00");
  EXPECT_EQ(AddDuration("22:00:00", "23:59:59"), "21:59:59");
  // Seconds and minutes carry.
  EXPECT_EQ(AddDuration("08:59:45", "00:00:30"), "09:00:15");
}

TEST(AddDuration, UnreadableTextNamesTheTextInTheMessage) {
  try {
    AddDuration("08:00:00", "1 hour");
    FAIL() << "no exception";
  } catch (const TInvalidTimeError& e) {
    EXPECT_STREQ(e.what(), "'1 hour' is not a valid time");
  }
  try {
    AddDuration("", "01:00:00");
    FAIL() << "no exception";
  } catch (const TInvalidTimeError& e) {
    EXPECT_STREQ(e.what(), "'' is not a valid time");
  }
}

TEST(ParseTimeOfDay, AcceptedForms) {
  EXPECT_EQ(ParseTimeOfDay("00:00:00"), 0);
  EXPECT_EQ(ParseTimeOfDay("23:59:59"), 86399);
  EXPECT_EQ(ParseTimeOfDay("7:05:09"), 7 * 3600 + 5 * 60 + 9);
  EXPECT_EQ(ParseTimeOfDay("07:05"), 7 * 3600 + 5 * 60);
  EXPECT_EQ(ParseTimeOfDay(" 7: 5:00 "), 7 * 3600 + 5 * 60);
  EXPECT_EQ(ParseTimeOfDay("1:2:3"), 3723);
}

TEST(ParseTimeOfDay, RejectedForms) {
  for (const char* text : {"", " ", "24:00:00", "12:60:00", "12:00:60", "123:00:00", "12:000:00", "12",
                           "12:", "12:00:", "12:00:00:", "12:00:00 AM", "-1:00:00", "12;00;00", "1 2:00:00",
                           "12:00:00x", "ab:cd:ef"}) {
    EXPECT_THROW(ParseTimeOfDay(text), TInvalidTimeError) << "'" << text << "'";
  }
}

TEST(FormatTimeOfDay, TwoDigitsEachAndModuloOneDay) {
  EXPECT_EQ(FormatTimeOfDay(0), "00:00:00");
  EXPECT_EQ(FormatTimeOfDay(3723), "01:02:03");
  EXPECT_EQ(FormatTimeOfDay(86400 + 61), "00:01:01");
  EXPECT_EQ(FormatTimeOfDay(-1), "23:59:59");
}

TEST(CleanStreamLink, UnwrapsPlayButtonLinks) {
  EXPECT_EQ(CleanStreamLink("javascript:void(window.open('http://radio.example/live.asx'))"),
            "http://radio.example/live.asx");
  EXPECT_EQ(CleanStreamLink("http://radio.example:8000/stream"), "http://radio.example:8000/stream");
  EXPECT_EQ(CleanStreamLink(""), "");
  // Case-sensitive: a differently spelled wrapper is left alone.
  EXPECT_EQ(CleanStreamLink("JavaScript:void(window.open('http://a/b'))"),
            "JavaScript:void(window.open('http://a/b");
  // Every occurrence goes, wherever it stands.
  EXPECT_EQ(CleanStreamLink("javascript:void(window.open('a'))javascript:void(window.open('b'))"), "ab");
}

TEST(StringReplaceAll, ReplacesLeftToRightWithoutRescanning) {
  EXPECT_EQ(StringReplaceAll(":::", "::", ""), ":");
  EXPECT_EQ(StringReplaceAll("aaaa", "aa", "a"), "aa");
  EXPECT_EQ(StringReplaceAll("abc", "", "x"), "abc");
  EXPECT_EQ(StringReplaceAll("a b c", " ", "::"), "a::b::c");
}

}  // namespace
}  // namespace wavecrate
