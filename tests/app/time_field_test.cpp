#include "app/TimeField.h"

#include <gtest/gtest.h>

#include <string>

namespace wavecrate {
namespace {

// Pointer positions inside the parts of a field.
constexpr int kHoursX = 5;
constexpr int kMinutesX = 20;
constexpr int kSecondsX = 35;
constexpr int kAmPmX = 50;

void Type(TTimeFieldModel& field, const std::string& keys) {
  for (char c : keys) field.KeyPress(c);
}

TEST(TimeFieldModel, FreshFields) {
  TTimeFieldModel start(kStartFieldTag);
  EXPECT_EQ(start.Text(), "00:00:00 AM");
  EXPECT_EQ(start.Tag(), 0);
  TTimeFieldModel duration(kDurationFieldTag);
  EXPECT_EQ(duration.Text(), "00:00:00");
  EXPECT_EQ(duration.Tag(), 2);
}

TEST(TimeFieldModel, MouseDownSelectsPartByPosition) {
  TTimeFieldModel field(kStartFieldTag);
  struct Case {
    int x;
    int start;
    int length;
  };
  // The click itself put the caret at 4; only the gaps and the area past the
  // AM/PM part keep it there.
  for (const Case& c : {Case{-3, 0, 2}, Case{0, 0, 2}, Case{14, 0, 2}, Case{15, 4, 0}, Case{16, 3, 2},
                        Case{29, 3, 2}, Case{30, 4, 0}, Case{31, 6, 2}, Case{44, 6, 2}, Case{45, 4, 0},
                        Case{46, 9, 2}, Case{59, 9, 2}, Case{60, 4, 0}, Case{86, 4, 0}}) {
    field.SetSelection(7, 2);
    field.MouseDown(c.x, 4);
    EXPECT_EQ(field.SelStart(), c.start) << "x " << c.x;
    EXPECT_EQ(field.SelLength(), c.length) << "x " << c.x;
  }
}

TEST(TimeFieldModel, TypingHoursOfStartField) {
  TTimeFieldModel field(kStartFieldTag);
  field.MouseDown(kHoursX, 0);
  Type(field, "1");
  EXPECT_EQ(field.Text(), " 1:00:00 AM");
  EXPECT_EQ(field.SelStart(), 0);
  EXPECT_EQ(field.SelLength(), 2);
  Type(field, "3");  // 13 is no hour: the part starts again
  EXPECT_EQ(field.Text(), " 3:00:00 AM");

  field.SetText("00:00:00 AM");
  field.MouseDown(kHoursX, 0);
  Type(field, "12");
  EXPECT_EQ(field.Text(), "12:00:00 AM");
  Type(field, "9");  // a complete part starts again with the next digit
  EXPECT_EQ(field.Text(), " 9:00:00 AM");

  field.SetText("00:00:00 AM");
  field.MouseDown(kHoursX, 0);
  Type(field, "10");
  EXPECT_EQ(field.Text(), "10:00:00 AM");
}

TEST(TimeFieldModel, StartFieldRefusesZeroAsFirstHourDigit) {
  TTimeFieldModel field(kStartFieldTag);
  field.MouseDown(kHoursX, 0);
  Type(field, "0");
  EXPECT_EQ(field.Text(), "00:00:00 AM");
  Type(field, "3");
  Type(field, "0");  // " 3" then 0 would be 30: refused outright
  EXPECT_EQ(field.Text(), " 3:00:00 AM");
  EXPECT_EQ(field.SelStart(), 0);
  EXPECT_EQ(field.SelLength(), 2);

  // In the minutes a 0 is fine.
  field.MouseDown(kMinutesX, 0);
  Type(field, "07");
  EXPECT_EQ(field.Text(), " 3:07:00 AM");
}

TEST(TimeFieldModel, DurationFieldAcceptsZeroHours) {
  TTimeFieldModel field(kDurationFieldTag, "12:30:00");
  field.MouseDown(kHoursX, 0);
  Type(field, "0");
  EXPECT_EQ(field.Text(), " 0:30:00");
  Type(field, "7");
  EXPECT_EQ(field.Text(), "07:30:00");
  Type(field, "0");
  Type(field, "0");
  EXPECT_EQ(field.Text(), "00:30:00");
}

TEST(TimeFieldModel, TypingMinutesAndSeconds) {
  TTimeFieldModel field(kDurationFieldTag);
  field.MouseDown(kMinutesX, 0);
  Type(field, "59");
  EXPECT_EQ(field.Text(), "00:59:00");
  EXPECT_EQ(field.SelStart(), 3);
  Type(field, "6");
  Type(field, "0");  // 60 is out of range: starts again with 0
  EXPECT_EQ(field.Text(), "00: 0:00");

  field.MouseDown(kSecondsX, 0);
  Type(field, "45");
  EXPECT_EQ(field.Text(), "00: 0:45");
  EXPECT_EQ(field.SelStart(), 6);
  EXPECT_EQ(field.SelLength(), 2);
}

TEST(TimeFieldModel, KeysThatChangeNothing) {
  TTimeFieldModel field(kStartFieldTag, "07:30:00 PM");
  field.MouseDown(kMinutesX, 0);
  Type(field, "a:- ");
  EXPECT_EQ(field.Text(), "07:30:00 PM");
  // Digits on the AM/PM part or between parts do nothing either.
  field.MouseDown(kAmPmX, 0);
  Type(field, "5");
  EXPECT_EQ(field.Text(), "07:30:00 PM");
  field.MouseDown(15, 2);  // caret left at 2, on the colon
  Type(field, "5");
  EXPECT_EQ(field.Text(), "07:30:00 PM");
  // The key press still widens the selection to two characters.
  EXPECT_EQ(field.SelStart(), 2);
  EXPECT_EQ(field.SelLength(), 2);
}

TEST(TimeFieldModel, UpDownStepsHoursModuloTwelveShowingTwelveForZero) {
  TTimeFieldModel field(kStartFieldTag, "11:59:00 PM");
  field.MouseDown(kHoursX, 0);
  field.UpDownClick(true);
  EXPECT_EQ(field.Text(), "12:59:00 PM");  // AM/PM does not follow the hours
  EXPECT_EQ(field.SelStart(), 0);
  EXPECT_EQ(field.SelLength(), 2);
  field.UpDownClick(true);
  EXPECT_EQ(field.Text(), "01:59:00 PM");
  field.UpDownClick(false);
  EXPECT_EQ(field.Text(), "12:59:00 PM");
  field.UpDownClick(false);
  EXPECT_EQ(field.Text(), "11:59:00 PM");

  TTimeFieldModel fresh(kStartFieldTag);
  fresh.MouseDown(kHoursX, 0);
  fresh.UpDownClick(true);
  EXPECT_EQ(fresh.Text(), "01:00:00 AM");
}

TEST(TimeFieldModel, UpDownOnDurationHoursNeverShowsZero) {
  TTimeFieldModel field(kDurationFieldTag, "01:00:00");
  field.MouseDown(kHoursX, 0);
  field.UpDownClick(false);
  EXPECT_EQ(field.Text(), "12:00:00");
  field.SetText("00:30:00");
  field.MouseDown(kHoursX, 0);
  field.UpDownClick(false);
  EXPECT_EQ(field.Text(), "11:30:00");
  field.UpDownClick(true);
  EXPECT_EQ(field.Text(), "12:30:00");
}

TEST(TimeFieldModel, UpDownStepsMinutesAndSecondsModuloSixty) {
  TTimeFieldModel field(kDurationFieldTag, "00:59:00");
  field.MouseDown(kMinutesX, 0);
  field.UpDownClick(true);
  // Only an hour step turns a leading 00 into 12.
  EXPECT_EQ(field.Text(), "00:00:00");
  EXPECT_EQ(field.SelStart(), 3);
  field.UpDownClick(false);
  EXPECT_EQ(field.Text(), "00:59:00");

  field.MouseDown(kSecondsX, 0);
  field.UpDownClick(false);
  EXPECT_EQ(field.Text(), "00:59:59");
  field.UpDownClick(true);
  field.UpDownClick(true);
  EXPECT_EQ(field.Text(), "00:59:01");
}

TEST(TimeFieldModel, UpDownCountsLeadingBlankAsNothing) {
  TTimeFieldModel field(kStartFieldTag);
  field.MouseDown(kHoursX, 0);
  Type(field, "7");
  field.UpDownClick(true);
  EXPECT_EQ(field.Text(), "08:00:00 AM");
  field.MouseDown(kMinutesX, 0);
  Type(field, "5");
  field.UpDownClick(false);
  EXPECT_EQ(field.Text(), "08:04:00 AM");
}

TEST(TimeFieldModel, UpDownTogglesAmPm) {
  TTimeFieldModel field(kStartFieldTag, "07:30:00 AM");
  field.MouseDown(kAmPmX, 0);
  field.UpDownClick(true);
  EXPECT_EQ(field.Text(), "07:30:00 PM");
  EXPECT_EQ(field.SelStart(), 9);
  EXPECT_EQ(field.SelLength(), 2);
  field.UpDownClick(true);
  EXPECT_EQ(field.Text(), "07:30:00 AM");
  field.UpDownClick(false);
  EXPECT_EQ(field.Text(), "07:30:00 PM");
}

TEST(TimeFieldModel, UpDownLeavesOtherSelectionsAlone) {
  // A duration has nothing at 9: the empty selection is left unchanged.
  TTimeFieldModel duration(kDurationFieldTag, "01:00:00");
  duration.MouseDown(kAmPmX, 0);
  duration.UpDownClick(true);
  EXPECT_EQ(duration.Text(), "01:00:00");

  // A selection across a colon is no part.
  TTimeFieldModel start(kStartFieldTag, "07:30:00 AM");
  start.MouseDown(45, 7);
  start.UpDownClick(true);
  EXPECT_EQ(start.Text(), "07:30:00 AM");
  EXPECT_EQ(start.SelStart(), 7);
  EXPECT_EQ(start.SelLength(), 2);

  // An empty field (an empty value in the settings file) stays empty.
  TTimeFieldModel empty(kStartFieldTag, "");
  empty.MouseDown(kHoursX, 0);
  empty.UpDownClick(true);
  EXPECT_EQ(empty.Text(), "");
}

TEST(TimeFieldModel, ExitFillsBlanksWithZeros) {
  TTimeFieldModel field(kStartFieldTag, " 7: 5:00 PM");
  field.Exit();
  EXPECT_EQ(field.Text(), "07:05:00 PM");

  TTimeFieldModel duration(kDurationFieldTag, " 0: 7: 9");
  duration.Exit();
  EXPECT_EQ(duration.Text(), "00:07:09");

  // Complete texts, and the blank before AM/PM, are untouched.
  for (const char* text : {"12:00:00 AM", "11:59:59 PM", "01:30:00", ""}) {
    TTimeFieldModel unchanged(kStartFieldTag, text);
    unchanged.Exit();
    EXPECT_EQ(unchanged.Text(), text);
  }
}

TEST(TimeFieldModel, TypedTimeCompletedOnExit) {
  TTimeFieldModel field(kStartFieldTag);
  field.MouseDown(kHoursX, 0);
  Type(field, "9");
  field.MouseDown(kMinutesX, 0);
  Type(field, "3");
  field.MouseDown(kAmPmX, 0);
  field.UpDownClick(true);
  EXPECT_EQ(field.Text(), " 9: 3:00 PM");
  field.Exit();
  EXPECT_EQ(field.Text(), "09:03:00 PM");
}

}  // namespace
}  // namespace wavecrate
