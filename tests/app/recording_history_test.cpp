// The recordings history file and what the tray says, without a window.
#include "app/RecordingHistory.h"

#include <gtest/gtest.h>
#include <utime.h>

#include <fstream>
#include <string>

#include "app/RecordingNotices.h"
#include "app/TrayStatus.h"
#include "support/TempDir.h"
#include "support/scheduler_fake_clock.h"

namespace wavecrate {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

TRecordingReport Report(int slot, std::int64_t start, const std::string& show) {
  TRecordingReport r;
  r.Slot = slot;
  r.ShowName = show;
  r.Station = "WXYZ";
  r.File = "/rec/" + show + ".mp3";
  r.ScheduledStart = start;
  r.ScheduledLength = 3600;
  r.ActualStart = start;
  return r;
}

void Started(TRecordingHistory& h, const TRecordingReport& r) {
  ASSERT_TRUE(h.Append({THistoryRecord::TEvent::Started, RecordingId(r), r}, false));
}

void Finished(TRecordingHistory& h, TRecordingReport r, TRecordingResult result,
              const std::string& reason = "") {
  r.Result = result;
  r.Reason = reason;
  r.ActualLength = 3599.5;
  ASSERT_TRUE(h.Append({THistoryRecord::TEvent::Finished, RecordingId(r), r}, true));
}

TEST(RecordingHistoryTest, OneRecordPerRecordingNewestFirstWithAwkwardTextsIntact) {
  TempDir dir;
  TRecordingHistory history(dir.File("h.jsonl"));
  TRecordingReport a = Report(1, 1000, "Quotes \"and\" back\\slash");
  a.Station = "Caf\xC3\xA9 FM\ttab\nnewline\x01";
  // Joined 95 s into the show, with two silent stretches.
  a.ActualStart = 1095;
  a.Joined = true;
  a.SilentSeconds = 41.5;
  Started(history, a);
  a.Gaps = {{12.0, 7.0}, {1800.5, 34.0}};
  // A capture that could not start has its finished line alone.
  TRecordingReport b = Report(2, 2000, "Second");
  Finished(history, a, TRecordingResult::Recorded);
  Finished(history, b, TRecordingResult::Failed, "the folder /rec does not exist");
  Started(history, Report(3, 3000, "Still going"));

  const auto read = ReadRecentRecordings(history.Path(), 1000);
  ASSERT_EQ(read.size(), 3u);
  EXPECT_EQ(read[0].Report.ShowName, "Still going");
  EXPECT_EQ(read[0].Report.Result, TRecordingResult::InProgress);
  EXPECT_EQ(read[1].Report.Result, TRecordingResult::Failed);
  EXPECT_EQ(read[1].Report.Reason, "the folder /rec does not exist");
  const TRecordingReport& back = read[2].Report;
  EXPECT_EQ(back.ShowName, a.ShowName);
  EXPECT_EQ(back.Station, a.Station);
  EXPECT_EQ(back.Result, TRecordingResult::Recorded);
  EXPECT_TRUE(back.Joined);
  EXPECT_EQ(back.ActualStart, 1095);
  EXPECT_EQ(back.ScheduledStart, 1000);
  EXPECT_DOUBLE_EQ(back.SilentSeconds, 41.5);
  ASSERT_EQ(back.Gaps.size(), 2u);
  EXPECT_DOUBLE_EQ(back.Gaps[1].StartSeconds, 1800.5);
  EXPECT_DOUBLE_EQ(back.Gaps[1].Seconds, 34.0);
  EXPECT_EQ(GapsText(back.Gaps), "2 gaps, 41 s");
  EXPECT_EQ(GapsText({back.Gaps[0]}), "1 gap, 7 s");
  EXPECT_TRUE(read[1].Report.Gaps.empty());
  EXPECT_DOUBLE_EQ(back.ActualLength, 3599.5);
  EXPECT_EQ(back.ScheduledLength, 3600);
  // Every record is one line, whatever the texts hold.
  const std::string text = ReadFile(history.Path());
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4);
  // A line of an older program, without gaps, still reads; a pair that is
  // not two numbers is left out, not the record.
  const auto old = ParseHistoryLine(
      "{\"event\":\"finished\",\"id\":\"5-1\",\"actual_start\":5,\"joined\":true,\"result\":\"recorded\"}");
  ASSERT_TRUE(old);
  EXPECT_TRUE(old->Report.Gaps.empty());
  EXPECT_TRUE(old->Report.Joined);
  const auto odd = ParseHistoryLine(
      "{\"event\":\"finished\",\"id\":\"5-1\",\"result\":\"recorded\",\"gaps\":[[1.0],[\"x\",2],[3.0,6.5]]}");
  ASSERT_TRUE(odd);
  ASSERT_EQ(odd->Report.Gaps.size(), 1u);
  EXPECT_DOUBLE_EQ(odd->Report.Gaps[0].Seconds, 6.5);

  // The bound: only the newest are read, still newest first.
  for (int i = 0; i < 40; ++i) Started(history, Report(1, 10000 + i, "Show " + std::to_string(i)));
  const auto newest = ReadRecentRecordings(history.Path(), 5);
  ASSERT_EQ(newest.size(), 5u);
  EXPECT_EQ(newest[0].Report.ShowName, "Show 39");
  EXPECT_EQ(newest[4].Report.ShowName, "Show 35");
}

TEST(RecordingHistoryTest, TornAndDamagedLinesAreSkippedAndNeverSwallowTheNextRecord) {
  TempDir dir;
  const std::string path = dir.File("h.jsonl");
  {
    TRecordingHistory history(path);
    Finished(history, Report(1, 1000, "Kept"), TRecordingResult::Recorded);
  }
  const std::string whole = ReadFile(path);
  // A line of zeros (a power loss) and a record cut mid-write.
  WriteFile(path, whole + std::string(40, '\0') + "\n" + whole.substr(0, whole.size() / 2));
  auto read = ReadRecentRecordings(path, 1000);
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(read[0].Report.ShowName, "Kept");

  TRecordingHistory history(path);
  Finished(history, Report(2, 2000, "After the crash"), TRecordingResult::Recorded);
  read = ReadRecentRecordings(path, 1000);
  ASSERT_EQ(read.size(), 2u) << "the record after the torn line must stay readable";
  EXPECT_EQ(read[0].Report.ShowName, "After the crash");
  EXPECT_FALSE(ParseHistoryLine("{\"event\":\"finished\",\"id\":\"1-1\",\"result\":\"exploded\"}"));
  EXPECT_FALSE(ParseHistoryLine("[1,2]"));
}

TEST(RecordingHistoryTest, ARecordingLeftOpenIsClosedAsInterruptedOnceUnlessAnotherCopyRuns) {
  TempDir dir;
  const std::string path = dir.File("h.jsonl");
  TRecordingReport open = Report(2, 1199521800, "Left open");
  open.File = dir.File("Left open.mp3");
  WriteFile(open.File, "RIFF");
  utimbuf times{open.ActualStart + 125, open.ActualStart + 125};
  ASSERT_EQ(utime(open.File.c_str(), &times), 0);
  {
    TRecordingHistory before(path);
    Finished(before, Report(1, 1199520000, "Done"), TRecordingResult::Recorded);
    Started(before, open);
  }
  {
    // A running copy keeps the history open: its recording is not ours to close.
    TRecordingHistory running(path);
    Started(running, Report(4, 1199530000, "Other copy"));
    TRecordingHistory starting(path);
    EXPECT_TRUE(starting.CloseInterrupted().empty());
  }
  TRecordingHistory next(path);
  const auto closed = next.CloseInterrupted();
  ASSERT_EQ(closed.size(), 2u);
  const auto read = ReadRecentRecordings(path, 10);
  ASSERT_EQ(read.size(), 3u);
  const TRecordingReport& r = read[1].Report;
  EXPECT_EQ(r.ShowName, "Left open");
  EXPECT_EQ(r.Result, TRecordingResult::Interrupted);
  EXPECT_DOUBLE_EQ(r.ActualLength, 125) << "as far as the file was written";
  EXPECT_NE(r.Reason.find("keeps what was recorded"), std::string::npos);
  EXPECT_NE(read[0].Report.Reason.find("missing"), std::string::npos) << read[0].Report.Reason;
  EXPECT_EQ(read[2].Report.Result, TRecordingResult::Recorded);
  EXPECT_TRUE(TRecordingHistory(path).CloseInterrupted().empty()) << "closed once";
}

TEST(TrayStatusTest, NextShowOverTheWeekByDayCodeAndWhatIsRecording) {
  test::TScopedTimeZone zone("America/New_York");
  // Friday 4 January 2008, 8 PM.
  const std::int64_t friday = test::TFakeClock::At(2008, 1, 4, 20, 0, 0) / 1000;
  TScheduledSlots slots;
  TSlotSettings weekdays;
  weekdays.Enabled = true;
  weekdays.ShowName = "  Morning Talk";
  weekdays.StartTime = "08:30:00";
  weekdays.EndTime = "09:30:00";
  weekdays.DayFlags = 10;
  slots[0] = weekdays;
  EXPECT_EQ(TrayStatusText({}, NextShow(slots, friday)), "Next: Morning Talk, Mon 8:30 AM");
  TSlotSettings sunday = weekdays;
  sunday.ShowName = "Sunday Brunch";
  sunday.StartTime = "11:00:00";
  sunday.EndTime = "12:00:00";
  sunday.DayFlags = 1000;
  slots[3] = sunday;
  TSlotSettings off = weekdays;
  off.Enabled = false;
  off.StartTime = "21:00:00";
  off.EndTime = "22:00:00";
  slots[1] = off;
  TSlotSettings never = off;
  never.Enabled = true;
  never.DayFlags = 0;
  slots[2] = never;
  const auto next = NextShow(slots, friday);
  ASSERT_TRUE(next);
  EXPECT_EQ(next->Slot, 4);
  EXPECT_EQ(TrayStatusText({}, next), "Next: Sunday Brunch, Sun 11:00 AM");
  // A weekly show earlier in the day than now is next due a week on.
  slots = {};
  TSlotSettings saturday = weekdays;
  saturday.StartTime = "19:00:00";
  saturday.EndTime = "20:00:00";
  saturday.DayFlags = 100;
  slots[0] = saturday;
  const std::int64_t saturdayNight = friday + 86400;
  ASSERT_TRUE(NextShow(slots, saturdayNight));
  EXPECT_EQ(NextShow(slots, saturdayNight)->StartUnix, saturdayNight + 6 * 86400 + 23 * 3600);
  EXPECT_EQ(TrayStatusText({}, NextShow(slots, saturdayNight)), "Next: Morning Talk, Sat 7:00 PM");
  slots[0]->DayFlags = 0;
  EXPECT_EQ(TrayStatusText({}, NextShow(slots, friday)), "Nothing scheduled");
  // Spring forward: a 2:30 AM show starts when the clock jumps over it.
  slots[0]->DayFlags = 1;
  slots[0]->StartTime = "02:30:00";
  slots[0]->EndTime = "03:30:00";
  EXPECT_EQ(TrayStatusText({}, NextShow(slots, test::TFakeClock::At(2008, 3, 9, 1, 0, 0) / 1000)),
            "Next: Morning Talk, Sun 3:00 AM");

  const std::vector<TRecordingNow> two = {{1, "Late Show", friday + 7200}, {2, "News", friday + 1800}};
  EXPECT_EQ(TrayToolTip("Wavecrate", TrayStatusText(two, next)),
            "Wavecrate\nRecording News until 8:30 PM (+1 more)");
  EXPECT_EQ(TrayToolTip("Wavecrate", std::string(100, 'x')).size(), 63u);
}

TEST(RecordingNoticesTest, AWhollySilentShowFailedAndAPauseDidNot) {
  TRecordingReport r = Report(1, 0, "Other Music");
  r.Result = TRecordingResult::Recorded;
  r.ActualLength = 3600;
  r.SilentSeconds = 3599.6;
  const TRecordingReport silent = JudgedBySilence(r);
  EXPECT_EQ(silent.Result, TRecordingResult::Failed);
  const TNotice failed = FinishedNotice(silent);
  EXPECT_EQ(failed.Title, "Other Music could not be recorded");
  EXPECT_NE(failed.Body.find("stream could not be reached"), std::string::npos);
  EXPECT_TRUE(failed.Problem);
  r.SilentSeconds = 600;
  EXPECT_EQ(JudgedBySilence(r).Result, TRecordingResult::Recorded) << "a pause is not a failure";
  EXPECT_EQ(FinishedNotice(r).Body, "Other Music.mp3 (1 h 0 min, 10 min of it silent).");
}

}  // namespace
}  // namespace wavecrate
