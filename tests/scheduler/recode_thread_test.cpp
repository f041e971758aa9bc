// The slot thread driven through simulated days by a fake clock: when it
// starts a recording, what it hands the capture and the advertisement step,
// and how it stops. Captures stop through StopRecording
// as the playback timer makes them stop; the fake capture polls its stop flag
// once a second, as the real one does.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "scheduler/DayCode.h"
#include "scheduler/DiskSpace.h"
#include "scheduler/Occurrence.h"
#include "scheduler/OutputNaming.h"
#include "scheduler/RecodeThread.h"
#include "support/TempDir.h"
#include "support/scheduler_doubles.h"
#include "support/scheduler_fake_clock.h"

namespace wavecrate {
namespace {

using std::chrono::milliseconds;
using test::TCaptureRecord;
using test::TFakeClock;

constexpr std::int64_t kSecond = 1000;
constexpr std::int64_t kMinute = 60 * kSecond;
constexpr std::int64_t kDay = 24 * 60 * kMinute;

std::int64_t At(int year, int month, int day, int hour, int minute, int second = 0, int ms = 0) {
  return TFakeClock::At(year, month, day, hour, minute, second, ms);
}

TSlotSettings Slot(const std::string& start, const std::string& end, int dayFlags,
                   const std::string& show = "  Morning Talk") {
  TSlotSettings s;
  s.StreamUrl = "http://127.0.0.1:8000/live";
  s.FileNameFormat = "showname-mm-dd-yyyy";
  s.StartTime = start;
  s.EndTime = end;
  s.Enabled = true;
  s.DayFlags = dayFlags;
  s.SaveFolder = "/shows/";
  s.ShowName = show;
  return s;
}

int MinuteOfDay(const std::string& time) {
  return std::stoi(time.substr(0, 2)) * 60 + std::stoi(time.substr(3, 2));
}

// Waits (real time, bounded) for a thread that should be ending by itself.
bool EndsSoon(const TThread& thread) {
  for (int i = 0; i < 10000 && !thread.Finished(); ++i) std::this_thread::sleep_for(milliseconds(1));
  return thread.Finished();
}

class RecodeThreadTest : public ::testing::Test {
 protected:
  // UTC unless a test picks a zone (before its first StartAt).
  RecodeThreadTest() : zone_(std::in_place, "UTC") { StartAt(At(2008, 1, 5, 8, 29, 58, 700)); }  // a Saturday

  ~RecodeThreadTest() override {
    for (auto& t : threads_) t->StopRequested.store(true);
    clock_->ReleaseAll();
    threads_.clear();  // joins: the released clock lets every thread leave its loop
  }

  // Only before the first slot is added; the clock starts again with StartAt.
  void UseZone(const char* zone) {
    zone_.reset();
    zone_.emplace(zone);
  }

  // Only before the first slot is added.
  void StartAt(std::int64_t ms) {
    clock_ = std::make_unique<TFakeClock>(ms);
    stopper_ = std::make_unique<test::TEndMinuteStopper>(*clock_);
  }

  // `joinAtStart` asks the new thread to join a show under way, as the
  // start-up save pass does; `configure` runs before the thread starts.
  TRecodeThread& AddSlot(const TSlotSettings& settings, bool joinAtStart = false,
                         const std::function<void(TRecodeThread&)>& configure = {}) {
    const int slot = static_cast<int>(threads_.size()) + 1;
    threads_.push_back(std::make_unique<TRecodeThread>(*clock_, captures_.Factory(*clock_, slot), ad_));
    TRecodeThread& thread = *threads_.back();
    thread.Slot = slot;
    thread.Events = events_;
    if (configure) configure(thread);
    thread.SetSettings(settings);
    if (joinAtStart) thread.RequestJoin();
    clock_->AddParticipants(1);
    thread.Resume();
    stopper_->Add(thread);
    return thread;
  }

  // Every wake-up up to `ms`, with the playback timer's stand-in stopping
  // recordings at their end minute.
  bool RunUntil(std::int64_t ms) {
    return clock_->RunUntil(ms, [this] { (*stopper_)(); });
  }

  // Runs the schedule to `endMs`: every wake-up from a little before each
  // slot's start minute (each showing of it, in a repeated hour) to a little
  // after its end, every day whether the slot is due or not, and otherwise a
  // minute at a time, so that every minute of every day is still seen.
  bool Drive(std::int64_t endMs) {
    std::vector<std::pair<std::int64_t, std::int64_t>> windows;
    const std::int64_t firstDay = SecondsFromCivil(clock_->Now()) / 86400 - 1;
    const std::int64_t lastDay = SecondsFromCivil(LocalTimeOf(endMs / 1000)) / 86400;
    for (std::int64_t day = firstDay; day <= lastDay; ++day) {
      for (const auto& t : threads_) {
        const auto s = t->Settings();
        const int start = MinuteOfDay(s->StartTime);
        const int end = MinuteOfDay(s->EndTime);
        const TLocalInstants at = InstantsOfLocalTime(CivilFromSeconds(day * 86400 + start * 60));
        for (const std::optional<std::int64_t> from : {std::optional(at.First), at.Repeat}) {
          if (!from) continue;
          windows.emplace_back(*from * kSecond - 5 * kSecond,
                               NextInstantAtMinute(*from, end) * kSecond + 70 * kSecond);
        }
      }
    }
    std::sort(windows.begin(), windows.end());
    auto step = [this] { (*stopper_)(); };
    auto skipTo = [&](std::int64_t to) {
      while (clock_->NowMs() < to) {
        if (!clock_->JumpBy(milliseconds(std::min(kMinute, to - clock_->NowMs())), step)) return false;
      }
      return true;
    };
    for (const auto& [from, to] : windows) {
      if (to <= clock_->NowMs()) continue;
      if (!skipTo(std::min(from, endMs))) return false;
      if (clock_->NowMs() >= endMs) break;
      if (!RunUntil(std::min(to, endMs))) return false;
    }
    return skipTo(endMs);
  }

  // Runs to 5 s into the slot's start minute, checks that it is recording and
  // stops it there, as a stream that fails at once would be stopped; the
  // thread is back to watching two seconds later.
  void RecordOnceAt(TRecodeThread& thread, std::int64_t startMinute) {
    ASSERT_TRUE(clock_->RunUntil(startMinute + 5 * kSecond));
    ASSERT_TRUE(thread.RecordingActive.load());
    thread.StopRecording();
    ASSERT_TRUE(clock_->RunFor(milliseconds(2 * kSecond)));
    ASSERT_FALSE(thread.RecordingActive.load());
  }

  std::vector<TCaptureRecord> Captures() const { return captures_.Records(); }

  std::optional<test::TScopedTimeZone> zone_;
  std::shared_ptr<test::TRecordingEventLog> events_ = std::make_shared<test::TRecordingEventLog>();
  std::unique_ptr<TFakeClock> clock_;
  std::unique_ptr<test::TEndMinuteStopper> stopper_;
  test::TCaptureLog captures_;
  test::TFakeAdvertisementStep ad_;
  std::vector<std::unique_ptr<TRecodeThread>> threads_;
};

TEST_F(RecodeThreadTest, StartsOnTheFirstSecondOfItsStartMinuteAndHandsTheCaptureItsFields) {
  TSlotSettings s = Slot("08:30:45", "08:32:45", 1);
  s.IsVista = true;
  s.IsMute = true;
  TRecodeThread& t = AddSlot(s);
  EXPECT_EQ(t.CaptureThread(), nullptr);
  t.StopRecording();  // nothing to stop yet: harmless

  ASSERT_TRUE(clock_->RunUntil(At(2008, 1, 5, 8, 29, 59, 999)));
  EXPECT_TRUE(Captures().empty());
  EXPECT_FALSE(t.RecordingActive.load());

  ASSERT_TRUE(clock_->RunUntil(At(2008, 1, 5, 8, 30, 30)));
  auto captures = Captures();
  ASSERT_EQ(captures.size(), 1u);
  // The thread was last awake at 08:29:59.000 and 700 ms into its seconds
  // before that: it must wake on the boundary, not 1000 ms after a check.
  EXPECT_GE(captures[0].StartMs, At(2008, 1, 5, 8, 30, 0));
  EXPECT_LT(captures[0].StartMs, At(2008, 1, 5, 8, 30, 0, 100));
  EXPECT_EQ(captures[0].OutputFileName, "/shows/Morning Talk-01-05-2008.mp3");
  EXPECT_TRUE(captures[0].IsVista);
  EXPECT_TRUE(captures[0].IsMute);
  EXPECT_TRUE(t.RecordingActive.load());
  EXPECT_EQ(t.OutputFileName(), "/shows/Morning Talk-01-05-2008.mp3");
  ASSERT_NE(t.CaptureThread(), nullptr);
  EXPECT_EQ(t.CaptureThread()->OutputFileName, "/shows/Morning Talk-01-05-2008.mp3");

  // The capture runs until it is stopped, and only one runs.
  ASSERT_TRUE(clock_->RunUntil(At(2008, 1, 5, 8, 31, 30)));
  EXPECT_EQ(Captures().size(), 1u);
  EXPECT_TRUE(t.RecordingActive.load());

  t.StopRecording();
  ASSERT_TRUE(clock_->RunFor(milliseconds(kSecond)));
  captures = Captures();
  EXPECT_EQ(captures[0].StopMs, At(2008, 1, 5, 8, 31, 30, 500));  // the capture's next look
  EXPECT_FALSE(t.RecordingActive.load());
  EXPECT_TRUE(t.CaptureThread()->DoneEvent.IsSet());
  // The step is run, and finds no advertisement address.
  ASSERT_EQ(ad_.Calls().size(), 1u);
  EXPECT_EQ(ad_.Calls()[0].RecordingFile, "/shows/Morning Talk-01-05-2008.mp3");

  // Ended at another minute: tomorrow's start is the next one.
  ASSERT_TRUE(Drive(At(2008, 1, 6, 8, 29, 0)));
  EXPECT_EQ(Captures().size(), 1u);
}

TEST_F(RecodeThreadTest, RecordingEndedInsideItsStartMinuteIsNotRestartedThatMinuteButIsTheNextDay) {
  TRecodeThread& t = AddSlot(Slot("08:30:00", "08:45:00", 1));
  RecordOnceAt(t, At(2008, 1, 5, 8, 30, 0));
  ASSERT_TRUE(clock_->RunUntil(At(2008, 1, 5, 8, 32, 0)));
  ASSERT_EQ(Captures().size(), 1u);

  // The end is kept with its date: the same minute tomorrow is due again.
  ASSERT_TRUE(Drive(At(2008, 1, 6, 8, 30, 30)));
  const auto captures = Captures();
  ASSERT_EQ(captures.size(), 2u);
  EXPECT_EQ(captures[1].StartMs, At(2008, 1, 6, 8, 30, 0));
  EXPECT_EQ(captures[1].OutputFileName, "/shows/Morning Talk-01-06-2008.mp3");
}

TEST_F(RecodeThreadTest, SwitchedOffSlotNeverRecordsUntilSwitchedOnAgain) {
  TSlotSettings s = Slot("08:30:00", "08:31:00", 1);
  s.AdUrl = "http://127.0.0.1/ad";
  TRecodeThread& t = AddSlot(s);
  t.SetEnabled(false);
  EXPECT_FALSE(t.Settings()->Enabled);
  EXPECT_EQ(t.Settings()->StartTime, "08:30:00");  // the rest of the record stays
  EXPECT_EQ(t.Settings()->AdUrl, "http://127.0.0.1/ad");
  ASSERT_TRUE(Drive(At(2008, 1, 7, 0, 0)));
  EXPECT_TRUE(Captures().empty());

  t.SetEnabled(true);
  ASSERT_TRUE(Drive(At(2008, 1, 8, 0, 0)));
  const auto captures = Captures();
  ASSERT_EQ(captures.size(), 1u);
  EXPECT_EQ(captures[0].StartMs, At(2008, 1, 7, 8, 30, 0));
}

TEST_F(RecodeThreadTest, StopRequestedEndsAWatchingThreadWithinASecondEvenWhenDue) {
  TRecodeThread& t = AddSlot(Slot("08:30:00", "08:31:00", 1));
  ASSERT_TRUE(clock_->RunUntil(At(2008, 1, 5, 8, 29, 59, 300)));
  t.StopRequested.store(true);
  clock_->SetParticipants(0);
  // The next check falls at 08:30:00, when the slot is due.
  ASSERT_TRUE(clock_->RunFor(milliseconds(kSecond)));
  EXPECT_TRUE(EndsSoon(t));
  EXPECT_EQ(clock_->Sleepers(), 0);
  EXPECT_TRUE(Captures().empty());
}

TEST_F(RecodeThreadTest, StopRequestedDuringARecordingWaitsForTheCaptureAndTheHandOver) {
  TSlotSettings s = Slot("08:30:00", "09:30:00", 1);
  s.AdUrl = "http://127.0.0.1/ad";
  TRecodeThread& t = AddSlot(s);
  ASSERT_TRUE(clock_->RunUntil(At(2008, 1, 5, 8, 30, 10)));
  t.StopRequested.store(true);
  ASSERT_TRUE(clock_->RunFor(milliseconds(5 * kSecond)));
  EXPECT_FALSE(t.Finished());
  EXPECT_TRUE(t.RecordingActive.load());

  t.StopRecording();
  ASSERT_TRUE(clock_->RunFor(milliseconds(kSecond / 2)));  // the capture ends
  clock_->SetParticipants(0);
  ASSERT_TRUE(clock_->RunFor(milliseconds(kSecond / 2)));  // and the thread sees it
  EXPECT_TRUE(EndsSoon(t));
  const auto calls = ad_.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].RecordingFile, "/shows/Morning Talk-01-05-2008.mp3");
}

TEST_F(RecodeThreadTest, FourSlotsAtOnceRecordTogetherAndMixOneAtATime) {
  ad_.Pause = milliseconds(20);  // real time: overlapping calls would be seen
  const char* shows[] = {"Morning Talk", "  Evening News", "Sports Hour\t", "Late Show"};
  const char* starts[] = {"08:30:00", "08:30:15", "08:30:45", "08:30:59"};
  for (int i = 0; i < 4; ++i) {
    TSlotSettings s = Slot(starts[i], "08:32:00", 1, shows[i]);
    s.AdUrl = std::string("http://127.0.0.1/ad") + std::to_string(i + 1);
    AddSlot(s);
  }
  ASSERT_TRUE(Drive(At(2008, 1, 5, 8, 35)));

  const auto captures = Captures();
  ASSERT_EQ(captures.size(), 4u);
  EXPECT_EQ(captures_.MaxRunning(), 4);
  std::map<int, std::string> outputs;
  for (const TCaptureRecord& c : captures) {
    EXPECT_GE(c.StartMs, At(2008, 1, 5, 8, 30, 0));
    EXPECT_LT(c.StartMs, At(2008, 1, 5, 8, 30, 1));
    outputs[c.Slot] = c.OutputFileName;
  }
  EXPECT_EQ(outputs[1], "/shows/Morning Talk-01-05-2008.mp3");
  EXPECT_EQ(outputs[2], "/shows/Evening News-01-05-2008.mp3");
  EXPECT_EQ(outputs[3], "/shows/Sports Hour-01-05-2008.mp3");
  EXPECT_EQ(outputs[4], "/shows/Late Show-01-05-2008.mp3");

  // All four finished in the same second; the step still ran one slot at a
  // time, each with its own recording.
  EXPECT_EQ(ad_.MaxInside(), 1);
  const auto calls = ad_.Calls();
  ASSERT_EQ(calls.size(), 4u);
  for (const auto& call : calls) {
    const int slot = call.AdUrl.back() - '0';
    EXPECT_EQ(call.RecordingFile, outputs[slot]);
  }
}

TEST_F(RecodeThreadTest, NewSettingsReachTheRunningThreadAtItsNextCycle) {
  TRecodeThread& t = AddSlot(Slot("09:00:00", "09:10:00", 1));
  ASSERT_TRUE(clock_->RunUntil(At(2008, 1, 5, 8, 30, 59, 400)));

  TSlotSettings changed = Slot("08:31:00", "08:33:00", 1, "Evening News");
  changed.SaveFolder = "/other/";
  t.SetSettings(changed);
  t.Resume();  // as a second save does: no second thread
  ASSERT_TRUE(clock_->WaitUntilIdle());
  EXPECT_EQ(clock_->Sleepers(), 1);

  ASSERT_TRUE(clock_->RunUntil(At(2008, 1, 5, 8, 31, 10)));
  const auto captures = Captures();
  ASSERT_EQ(captures.size(), 1u);
  EXPECT_EQ(captures[0].StartMs, At(2008, 1, 5, 8, 31, 0));
  EXPECT_EQ(captures[0].OutputFileName, "/other/Evening News-01-05-2008.mp3");
}

TEST_F(RecodeThreadTest, MidnightStartRecordsOnAFreshThreadAndNamesTheNewDate) {
  StartAt(At(2008, 12, 31, 23, 59, 58, 500));
  AddSlot(Slot("00:00:00", "00:30:00", 1));
  ASSERT_TRUE(clock_->RunUntil(At(2009, 1, 1, 0, 0, 10)));
  const auto captures = Captures();
  ASSERT_EQ(captures.size(), 1u);
  EXPECT_EQ(captures[0].StartMs, At(2009, 1, 1, 0, 0, 0));
  EXPECT_EQ(captures[0].OutputFileName, "/shows/Morning Talk-01-01-2009.mp3");
}

TEST_F(RecodeThreadTest, TheStepGetsTheRecordingAndItsAddressBeforeTheFinishedNotice) {
  TSlotSettings s = Slot("08:30:00", "08:31:00", 1);
  s.AdUrl = "http://127.0.0.1/ad?show=Morning";
  // The finished notice offers the file: the step that rewrites it is over.
  std::atomic<std::size_t> callsWhenFinished{99};
  events_->OnFinished = [&](const TRecordingReport&) { callsWhenFinished = ad_.Calls().size(); };
  TRecodeThread& t = AddSlot(s);
  RecordOnceAt(t, At(2008, 1, 5, 8, 30, 0));
  EXPECT_EQ(callsWhenFinished.load(), 1u);

  const auto calls = ad_.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].RecordingFile, "/shows/Morning Talk-01-05-2008.mp3");
  EXPECT_EQ(calls[0].AdUrl, "http://127.0.0.1/ad?show=Morning");
}

TEST_F(RecodeThreadTest, FailingAdvertisementStepKeepsTheRawCaptureAndTheSlotWatched) {
  ad_.Throws = true;
  TSlotSettings s = Slot("08:30:00", "08:31:00", 1);
  s.AdUrl = "http://127.0.0.1/ad";
  TRecodeThread& t = AddSlot(s);
  RecordOnceAt(t, At(2008, 1, 5, 8, 30, 0));
  EXPECT_FALSE(t.Finished());

  ASSERT_TRUE(Drive(At(2008, 1, 6, 8, 35)));
  const auto captures = Captures();
  ASSERT_EQ(captures.size(), 2u);
  EXPECT_EQ(captures[1].StartMs, At(2008, 1, 6, 8, 30, 0));
  EXPECT_EQ(ad_.Calls().size(), 2u);
}

// A month of four slots with mixed day codes, two of them starting in the same
// minute and one running past midnight into another's start, while a second
// thread keeps reading and rewriting every slot's record as the editor does.
// Every due start is recorded exactly once, within a second of its minute.
TEST_F(RecodeThreadTest, AMonthOfFourSlotsRecordsEveryDueStartExactlyOnce) {
  const std::int64_t begin = At(2008, 1, 31, 23, 50, 0, 250);
  const std::int64_t end = At(2008, 3, 1, 0, 10);  // February 2008 has 29 days
  StartAt(begin);
  struct Plan {
    const char* Start;
    const char* End;
    int Code;
    const char* Show;
    bool Ad;
  };
  const Plan plans[] = {
      {"06:00:00", "06:03:00", 1, "  Morning Talk", true},
      {"06:00:45", "06:02:45", 10, "Sunrise Report", false},
      {"23:59:00", "00:01:00", 1100, "Night Owls", true},
      {"00:00:00", "00:02:00", 1010, "Midnight Hour", false},
  };
  for (const Plan& p : plans) {
    TSlotSettings s = Slot(p.Start, p.End, p.Code, p.Show);
    if (p.Ad) s.AdUrl = "http://127.0.0.1/ad";
    AddSlot(s);
  }

  std::atomic<bool> done{false};
  std::thread editor([&] {
    while (!done.load()) {
      for (auto& t : threads_) {
        const auto record = t->Settings();
        t->SetSettings(*record);
        (void)t->OutputFileName();
        (void)t->CaptureThread();
      }
      std::this_thread::sleep_for(milliseconds(1));
    }
  });
  const bool driven = Drive(end);
  done.store(true);
  editor.join();
  ASSERT_TRUE(driven);

  std::map<int, std::vector<std::int64_t>> expected;  // slot -> start minutes
  for (std::int64_t day = begin / kDay * kDay; day < end; day += kDay) {
    const int weekday = CivilFromSeconds(day / 1000).DayOfWeek;
    for (int slot = 1; slot <= 4; ++slot) {
      const std::int64_t start = day + MinuteOfDay(plans[slot - 1].Start) * kMinute;
      if (start > begin && start < end && IsScheduledToday(plans[slot - 1].Code, weekday)) {
        expected[slot].push_back(start);
      }
    }
  }
  std::map<int, std::vector<TCaptureRecord>> actual;
  for (const TCaptureRecord& c : Captures()) actual[c.Slot].push_back(c);

  std::size_t withAd = 0;
  for (int slot = 1; slot <= 4; ++slot) {
    const auto& want = expected[slot];
    const auto& got = actual[slot];
    ASSERT_EQ(got.size(), want.size()) << "slot " << slot;
    for (std::size_t i = 0; i < want.size(); ++i) {
      EXPECT_GE(got[i].StartMs, want[i]) << "slot " << slot << " start " << i;
      EXPECT_LT(got[i].StartMs, want[i] + kSecond) << "slot " << slot << " start " << i;
      EXPECT_GT(got[i].StopMs, got[i].StartMs) << "slot " << slot << " start " << i;
      const TLocalTime date = CivilFromSeconds(want[i] / 1000);
      EXPECT_EQ(got[i].OutputFileName,
                BuildOutputFileName("/shows/", Trim(plans[slot - 1].Show), "showname-mm-dd-yyyy", date));
    }
    if (plans[slot - 1].Ad) withAd += want.size();
  }
  // 29 daily starts, 21 weekday starts, 8 weekend starts, 25 midnight starts.
  EXPECT_EQ(expected[1].size(), 29u);
  EXPECT_EQ(expected[2].size(), 21u);
  EXPECT_EQ(expected[3].size(), 8u);
  EXPECT_EQ(expected[4].size(), 25u);
  EXPECT_GE(captures_.MaxRunning(), 2);

  // Every recording went through the step once, with its own slot's address.
  std::size_t calledWithAd = 0;
  for (const test::TAdCall& call : ad_.Calls()) {
    if (!call.AdUrl.empty()) ++calledWithAd;
  }
  EXPECT_EQ(calledWithAd, withAd);
}

// Asked to join (program start, wake, save), a thread starts the show under
// way at once, names it after the start's date (a show joined after midnight
// belongs to the day before, also for its day code), and reports it: one
// Started and one Finished, Joined, with the show's and the recording's times.
TEST_F(RecodeThreadTest, JoinsAShowUnderWayWhenAskedNamedAndReportedAfterItsStart) {
  StartAt(At(2008, 1, 5, 0, 30, 10));                                      // Saturday, half past midnight
  TSlotSettings night = Slot("23:00:00", "01:00:00", 10, "  Night Owls");  // weekdays: Friday's show
  night.Station = "WXYZ";
  TRecodeThread& t = AddSlot(night, /*joinAtStart=*/true);
  ASSERT_TRUE(RunUntil(At(2008, 1, 5, 0, 30, 12)));
  auto captures = Captures();
  ASSERT_EQ(captures.size(), 1u);
  EXPECT_EQ(captures[0].SlotField, 1) << "the capture is told its slot";
  EXPECT_EQ(captures[0].StartMs, At(2008, 1, 5, 0, 30, 10));
  EXPECT_EQ(captures[0].OutputFileName, "/shows/Night Owls-01-04-2008.mp3");
  EXPECT_EQ(t.PlannedEndUnix(), At(2008, 1, 5, 1, 0) / 1000);

  ASSERT_TRUE(Drive(At(2008, 1, 5, 1, 2)));
  EXPECT_FALSE(t.PlannedEndUnix()) << "no recording, no planned end";
  EXPECT_NEAR(Captures()[0].StopMs, At(2008, 1, 5, 1, 0), 2 * kSecond);
  const auto entries = events_->Entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].Kind, test::TRecordingEventLog::TEntry::Started);
  EXPECT_EQ(entries[0].Report.Result, TRecordingResult::InProgress);
  EXPECT_TRUE(entries[0].Report.Joined);
  EXPECT_EQ(entries[1].Kind, test::TRecordingEventLog::TEntry::Finished);
  const TRecordingReport& r = entries[1].Report;
  EXPECT_EQ(r.Slot, 1);
  EXPECT_EQ(r.ShowName, "Night Owls");
  EXPECT_EQ(r.Station, "WXYZ");
  EXPECT_EQ(r.File, "/shows/Night Owls-01-04-2008.mp3");
  EXPECT_EQ(r.ScheduledStart, At(2008, 1, 4, 23, 0) / 1000);
  EXPECT_EQ(r.ScheduledLength, 2 * 3600);
  EXPECT_EQ(r.ActualStart, At(2008, 1, 5, 0, 30, 10) / 1000);
  EXPECT_NEAR(r.ActualLength, 30 * 60 - 10, 3);
  EXPECT_TRUE(r.Joined);
  EXPECT_EQ(r.Result, TRecordingResult::Recorded) << r.Reason;
}

// A capture that cannot start is told at once, as failed and never as
// recording, is tried once in its minute, and the slot records again the
// next day. A capture that ends early says why in words of its own, and its
// silent stretches reach the report.
TEST_F(RecodeThreadTest, AFailedCaptureIsToldAtItsStartTriedOnceAndReported) {
  captures_.SetFailure("No capture device was found.", TCaptureFault::NoDevice);
  TRecodeThread& t = AddSlot(Slot("08:30:00", "08:35:00", 1));
  ASSERT_TRUE(RunUntil(At(2008, 1, 5, 8, 30, 1)));
  auto entries = events_->Entries();
  ASSERT_EQ(entries.size(), 1u) << "told as failed within its start second, and nothing else";
  EXPECT_EQ(entries[0].Kind, test::TRecordingEventLog::TEntry::Finished);
  EXPECT_EQ(entries[0].Report.Result, TRecordingResult::Failed);
  EXPECT_EQ(entries[0].Report.Reason, "No capture device was found.");
  ASSERT_TRUE(Drive(At(2008, 1, 5, 8, 32)));
  EXPECT_EQ(Captures().size(), 1u) << "a failed capture must not be retried every second";
  EXPECT_EQ(events_->Entries().size(), 1u);
  EXPECT_FALSE(t.RecordingActive.load());
  EXPECT_TRUE(ad_.Calls().empty()) << "nothing recorded, no clip to put in front";

  captures_.SetFailure("");
  const std::vector<TSilentGap> gaps = {{12.0, 7.0}, {95.5, 34.0}};
  captures_.SetEnding(TCaptureFault::SizeLimit, gaps);
  ASSERT_TRUE(Drive(At(2008, 1, 6, 8, 36)));
  EXPECT_EQ(Captures().size(), 2u);
  entries = events_->Entries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[1].Kind, test::TRecordingEventLog::TEntry::Started);
  const TRecordingReport& r = entries[2].Report;
  EXPECT_EQ(r.Result, TRecordingResult::Incomplete);
  EXPECT_EQ(r.Reason, "The recording reached the largest size a WAVE file can hold.");
  ASSERT_EQ(r.Gaps.size(), 2u);
  EXPECT_EQ(r.Gaps[1].StartSeconds, 95.5);
  EXPECT_EQ(r.Gaps[1].Seconds, 34.0);
  EXPECT_EQ(r.SilentSeconds, 41.0);
}

// Nothing but the thread stops the capture here (no playback timer): it ends
// at the planned end, to the capture's next look, also when a save moved the
// end while the show was recorded.
TEST_F(RecodeThreadTest, EndsItsOwnCaptureAtThePlannedEndWhateverTheWindowDoes) {
  TRecodeThread& t = AddSlot(Slot("08:30:00", "08:32:00", 1));
  ASSERT_TRUE(clock_->RunUntil(At(2008, 1, 5, 8, 31, 0)));
  ASSERT_EQ(Captures().size(), 1u);
  t.SetSettings(Slot("08:30:00", "08:33:00", 1));
  ASSERT_TRUE(clock_->RunUntil(At(2008, 1, 5, 8, 34, 0)));
  const auto captures = Captures();
  ASSERT_EQ(captures.size(), 1u);
  EXPECT_EQ(captures[0].StopMs, At(2008, 1, 5, 8, 33, 0, 500));
  EXPECT_FALSE(t.RecordingActive.load());
  const auto finished = events_->Finished();
  ASSERT_EQ(finished.size(), 1u);
  EXPECT_EQ(finished[0].Result, TRecordingResult::Recorded) << finished[0].Reason;
  EXPECT_NEAR(finished[0].ActualLength, 180.5, 0.01);
}

// Two recordings of one show on one day, and a file already there: each gets
// a name of its own, the advertisement step mixes into that name, and
// nothing that was there is replaced. A folder typed without its "/" holds the files.
// A disk too small for the show is reported before it starts.
TEST_F(RecodeThreadTest, NeverOverwritesPutsFilesInsideTheFolderAndWarnsOfASmallDisk) {
  test::TempDir dir;
  test::WriteFile(dir.File("Morning Talk-01-05-2008.mp3"), "earlier show");
  TSlotSettings s = Slot("08:30:00", "08:31:00", 1);
  s.SaveFolder = dir.Path().string();  // no trailing "/"
  s.AdUrl = "http://127.0.0.1/ad";
  auto fixedEncoder = [](TRecodeThread& t) { t.EncoderSettingsSource = [] { return TEncoderSettings{}; }; };
  AddSlot(s, false, [&](TRecodeThread& t) {
    fixedEncoder(t);
    t.FreeBytes = [](const std::string&) { return std::optional<std::uint64_t>(5'000'000); };
  });
  AddSlot(s, false, fixedEncoder);  // the disk's real free space
  ASSERT_TRUE(Drive(At(2008, 1, 5, 8, 33)));

  const std::string base = dir.File("Morning Talk-01-05-2008");
  std::vector<std::string> outputs;
  for (const TCaptureRecord& c : Captures()) outputs.push_back(c.OutputFileName);
  std::sort(outputs.begin(), outputs.end());
  EXPECT_EQ(outputs, (std::vector<std::string>{base + " (2).mp3", base + " (3).mp3"}));
  EXPECT_EQ(test::ReadFile(base + ".mp3"), "earlier show");
  std::vector<std::string> mixed;
  for (const test::TAdCall& call : ad_.Calls()) mixed.push_back(call.RecordingFile);
  std::sort(mixed.begin(), mixed.end());
  EXPECT_EQ(mixed, outputs);

  std::vector<test::TRecordingEventLog::TEntry> warnings;
  for (const auto& e : events_->Entries()) {
    if (e.Kind == test::TRecordingEventLog::TEntry::Warning) warnings.push_back(e);
  }
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].Slot, 1);
  EXPECT_NE(warnings[0].Text.find("Only 5 MB is free"), std::string::npos) << warnings[0].Text;
  EXPECT_NE(warnings[0].Text.find("\"Morning Talk\" needs about 22 MB"), std::string::npos)
      << warnings[0].Text;
  // Warned or not, both recorded.
  for (const TRecordingReport& r : events_->Finished()) EXPECT_EQ(r.Result, TRecordingResult::Recorded);
}

// The days daylight-saving time begins and ends, in two zones, with the
// slot threads themselves: a start the clock jumps over is made at the jump,
// a show whose end minute is skipped still ends (at the jump), and a start
// in the repeated hour records once, at its first showing.
struct TZoneDays {
  const char* Zone;
  std::int64_t SpringJumpMs;  // UTC
  std::int64_t FallJumpMs;
  int SpringMonth, SpringDay, FallMonth, FallDay;
  // Start and end: a start in the skipped hour, an end in it, a show wholly
  // in the repeated hour.
  const char* Shows[3][2];
  std::size_t RepeatedOnSpringDays;  // 1 where that show lies in the skipped hour too
};

std::int64_t UtcMs(int year, int month, int day, int hour) {
  TLocalTime t;
  t.Year = year;
  t.Month = month;
  t.Day = day;
  t.Hour = hour;
  return SecondsFromCivil(t) * kSecond;
}

void PrintTo(const TZoneDays& z, std::ostream* out) {
  *out << z.Zone;
}

class RecodeThreadZoneTest : public RecodeThreadTest, public ::testing::WithParamInterface<TZoneDays> {};

TEST_P(RecodeThreadZoneTest, DaylightSavingDaysStartEachShowOnceAndEndItInTime) {
  const TZoneDays& z = GetParam();
  UseZone(z.Zone);
  StartAt(At(2024, z.SpringMonth, z.SpringDay - 1, 22, 0, 0, 300));
  for (const auto& show : z.Shows) AddSlot(Slot(show[0], show[1], 1));
  ASSERT_TRUE(Drive(At(2024, z.SpringMonth, z.SpringDay + 1, 4, 0)));
  // Months on in one step, as after a long sleep with nothing under way.
  ASSERT_TRUE(clock_->JumpBy(milliseconds(At(2024, z.FallMonth, z.FallDay - 1, 22, 0) - clock_->NowMs())));
  ASSERT_TRUE(Drive(At(2024, z.FallMonth, z.FallDay + 1, 4, 0)));

  std::map<int, std::vector<TCaptureRecord>> bySlot;
  for (const TCaptureRecord& c : Captures()) bySlot[c.Slot].push_back(c);
  ASSERT_EQ(bySlot[1].size(), 4u);
  ASSERT_EQ(bySlot[2].size(), 4u);
  ASSERT_EQ(bySlot[3].size(), 2 + z.RepeatedOnSpringDays);
  for (int slot = 1; slot <= 3; ++slot) {
    std::set<std::string> dates;
    for (const TCaptureRecord& c : bySlot[slot]) {
      const TLocalTime local = LocalTimeOf(c.StartMs / 1000);
      const bool atSpringJump = c.StartMs / 1000 == z.SpringJumpMs / 1000;
      char date[16];
      std::snprintf(date, sizeof date, "%02d-%02d-%04d", local.Month, local.Day, local.Year);
      const std::string where = std::string(z.Zone) + " slot " + std::to_string(slot) + " " + date;
      if (atSpringJump) {
        EXPECT_EQ(slot, 1) << where << ": only the skipped start is made at the jump";
      } else {
        EXPECT_EQ(local.Hour * 60 + local.Minute, MinuteOfDay(z.Shows[slot - 1][0])) << where;
        EXPECT_LT(c.StartMs % kSecond, 100) << where << ": on time, at the start of the minute";
      }
      EXPECT_TRUE(dates.insert(date).second) << where << ": two recordings of one day's show";
      EXPECT_NE(c.OutputFileName.find(date), std::string::npos) << where << ": named after the start's date";
      // Never in the repeated hour: every start there was shown before.
      const bool repeatedHour = c.StartMs >= z.FallJumpMs && c.StartMs < z.FallJumpMs + 3600 * kSecond;
      EXPECT_FALSE(repeatedHour) << where << ": recorded at the second showing of its minute";
    }
  }
  // The show whose end minute never shows ended at the jump.
  EXPECT_GE(bySlot[2][0].StopMs, z.SpringJumpMs);
  EXPECT_LE(bySlot[2][0].StopMs, z.SpringJumpMs + 2 * kSecond);
}

INSTANTIATE_TEST_SUITE_P(
    TwoZones, RecodeThreadZoneTest,
    ::testing::Values(
        TZoneDays{"America/New_York",
                  UtcMs(2024, 3, 10, 7),
                  UtcMs(2024, 11, 3, 6),
                  3,
                  10,
                  11,
                  3,
                  {{"02:30:00", "03:10:00"}, {"01:50:00", "02:10:00"}, {"01:30:00", "01:35:00"}},
                  2},
        TZoneDays{"Europe/London",
                  UtcMs(2024, 3, 31, 1),
                  UtcMs(2024, 10, 27, 1),
                  3,
                  31,
                  10,
                  27,
                  {{"01:30:00", "02:10:00"}, {"00:50:00", "01:10:00"}, {"01:30:00", "01:35:00"}},
                  1}),
    [](const ::testing::TestParamInfo<TZoneDays>& info) {
      return std::string(info.param.Zone).substr(0, std::string(info.param.Zone).find('/'));
    });

}  // namespace
}  // namespace wavecrate
