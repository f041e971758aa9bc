#include "app/SaveChanges.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio/CaptureThreadBase.h"
#include "common/Clock.h"
#include "scheduler/AdvertisementStep.h"
#include "support/TempDir.h"

namespace wavecrate {
namespace {

// A clock that stays inside 03:17 of a Saturday forever, its seconds running
// round, so that resumed slot threads keep watching (and stop promptly when
// asked) but no slot of these tests ever falls due.
class TNeverDueClock final : public Clock {
 public:
  TLocalTime Now() const override {
    TLocalTime t;
    t.Year = 2008;
    t.Month = 1;
    t.Day = 5;
    t.DayOfWeek = 6;
    t.Hour = 3;
    t.Minute = 17;
    t.Second = second_.load() % 60;
    return t;
  }
  void SleepUntilNextSecond() override { SleepFor(std::chrono::milliseconds(1000)); }
  void SleepFor(std::chrono::milliseconds duration) override {
    second_ += static_cast<int>(duration.count() / 1000) + 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

 private:
  std::atomic<int> second_{0};
};

class ScheduleEditorTest : public ::testing::Test {
 protected:
  ScheduleEditorTest()
      : editor_(
            [this](int) {
              ++threadsMade_;
              return std::make_unique<TRecodeThread>(
                  clock_,
                  [] {
                    ADD_FAILURE() << "a slot fell due in a test that never records";
                    return std::shared_ptr<TCaptureThreadBase>();
                  },
                  ad_);
            },
            [this](const std::string& showName, TScheduleEditor::TAdAnswer answer) {
              reported_.push_back(showName);
              // The web service answers at once unless a test holds answers back.
              if (holdAnswers_) {
                held_.push_back(std::move(answer));
              } else {
                answer("http://ads.example/" + showName);
              }
            }) {}

  // A window that passes every check: the folder and template set, slot n on
  // and complete.
  static TSettings Window() {
    TSettings window;
    window.SaveFilePath = "/home/user/Recordings/";
    window.FileNameFormat = "yyyy-mm-dd-showname";
    return window;
  }
  static void SwitchOn(TSettings& window, int n, const std::string& start = "07:00:00 PM",
                       const std::string& duration = "01:00:00") {
    TSlotControls& slot = window.Slots[static_cast<std::size_t>(n - 1)];
    slot.Check = true;
    slot.URL = "http://127.0.0.1:8000/slot" + std::to_string(n);
    slot.StartTime = start;
    slot.EndTime = duration;
    slot.ShowName = "  Show " + std::to_string(n);
    slot.WeekDay = true;
  }

  void ExpectNothingHandedOver() {
    for (int n = 1; n <= 4; ++n) {
      EXPECT_EQ(editor_.RecodeThreads(n), nullptr) << "slot " << n;
      EXPECT_FALSE(editor_.SlotActive(n)) << "slot " << n;
    }
    EXPECT_EQ(threadsMade_, 0);
    EXPECT_TRUE(reported_.empty());
  }

  TNeverDueClock clock_;
  TNoAdvertisementStep ad_;
  int threadsMade_ = 0;
  std::vector<std::string> reported_;
  bool holdAnswers_ = false;
  std::vector<TScheduleEditor::TAdAnswer> held_;
  // Last: its destructor stops and joins the threads while the clock lives.
  TScheduleEditor editor_;
};

TEST_F(ScheduleEditorTest, HandsEveryFieldOverAsOneRecord) {
  TSettings window = Window();
  SwitchOn(window, 2, "11:30:00 PM", "01:00:00");
  TSlotControls& slot = window.Slots[1];
  slot.URL = "javascript:void(window.open('http://127.0.0.1:8000/live.asx'))";
  slot.ShowName = "  Other Music";
  slot.Daily = false;
  slot.WeekDay = true;
  slot.Sat = false;
  slot.Sun = true;
  slot.Station = "KFI";
  window.IsVista = true;
  window.IsMute = true;
  window.JoinShowsUnderWay = false;

  const TSaveResult result = editor_.SaveChanges(window, false);
  ASSERT_TRUE(result.Saved) << result.Message;
  EXPECT_EQ(result.Message, "");

  TRecodeThread* thread = editor_.RecodeThreads(2);
  ASSERT_NE(thread, nullptr);
  EXPECT_TRUE(thread->Started());
  const std::shared_ptr<const TSlotSettings> record = thread->Settings();
  EXPECT_EQ(record->StreamUrl, "http://127.0.0.1:8000/live.asx");
  EXPECT_EQ(record->FileNameFormat, "yyyy-mm-dd-showname");
  EXPECT_EQ(record->StartTime, "23:30:00");
  EXPECT_EQ(record->EndTime, "00:30:00");
  EXPECT_TRUE(record->Enabled);
  EXPECT_EQ(record->DayFlags, 1010);
  EXPECT_TRUE(record->IsVista);
  EXPECT_EQ(record->SaveFolder, "/home/user/Recordings/");
  EXPECT_EQ(record->ShowName, "  Other Music");
  EXPECT_EQ(record->AdUrl, "http://ads.example/  Other Music");
  EXPECT_TRUE(record->IsMute);
  EXPECT_EQ(record->Station, "KFI");
  EXPECT_FALSE(record->JoinUnderWay);
  EXPECT_EQ(reported_, std::vector<std::string>{"  Other Music"});

  EXPECT_TRUE(editor_.SlotActive(2));
  for (int n : {1, 3, 4}) {
    EXPECT_EQ(editor_.RecodeThreads(n), nullptr);
    EXPECT_FALSE(editor_.SlotActive(n));
  }
  EXPECT_EQ(threadsMade_, 1);
}

// A folder that is missing, or is a file, is told and the save still goes
// through (a disk may be mounted later); a folder that takes files is not.
TEST_F(ScheduleEditorTest, WarnsOfAFolderThatCannotTakeRecordingsAndStillSaves) {
  test::TempDir dir;
  TSettings window = Window();
  window.SaveFilePath = dir.Path().string();
  SwitchOn(window, 1);
  SwitchOn(window, 3);
  TSaveResult result = editor_.SaveChanges(window, false);
  ASSERT_TRUE(result.Saved) << result.Message;
  EXPECT_EQ(result.Warning, "");

  window.SaveFilePath = dir.File("gone") + "/";
  result = editor_.SaveChanges(window, false);
  ASSERT_TRUE(result.Saved) << "told, not refused";
  EXPECT_TRUE(editor_.SlotActive(1));
  EXPECT_EQ(editor_.RecodeThreads(3)->Settings()->SaveFolder, dir.File("gone") + "/");
  EXPECT_EQ(result.Warning, "The folder " + dir.File("gone") +
                                " of slots 1 and 3 does not exist or cannot be written; their shows will "
                                "not be recorded until it exists and can be written.");

  test::WriteFile(dir.File("file"), "not a folder");
  window.SaveFilePath = dir.File("file") + "/";
  window.Slots[2].Check = false;
  result = editor_.SaveChanges(window, true);
  ASSERT_TRUE(result.Saved);
  EXPECT_EQ(result.Warning, "The folder " + dir.File("file") +
                                " of slot 1 does not exist or cannot be written; its shows will not be "
                                "recorded until it exists and can be written.");
}

TEST_F(ScheduleEditorTest, StartTimesInEveryForm) {
  TSettings window = Window();
  SwitchOn(window, 1, "12:00:00 AM", "00:30:00");
  SwitchOn(window, 2, "12:00:00 PM", "12:00:00");
  SwitchOn(window, 3, "19:45:00", "00:15:00");  // already 24-hour: left alone
  SwitchOn(window, 4, "07:05:09 PM", "00:00:51");
  ASSERT_TRUE(editor_.SaveChanges(window, false).Saved);
  EXPECT_EQ(editor_.RecodeThreads(1)->Settings()->StartTime, "00:00:00");
  EXPECT_EQ(editor_.RecodeThreads(1)->Settings()->EndTime, "00:30:00");
  EXPECT_EQ(editor_.RecodeThreads(2)->Settings()->StartTime, "12:00:00");
  EXPECT_EQ(editor_.RecodeThreads(2)->Settings()->EndTime, "00:00:00");
  EXPECT_EQ(editor_.RecodeThreads(3)->Settings()->StartTime, "19:45:00");
  EXPECT_EQ(editor_.RecodeThreads(3)->Settings()->EndTime, "20:00:00");
  EXPECT_EQ(editor_.RecodeThreads(4)->Settings()->StartTime, "19:05:09");
  EXPECT_EQ(editor_.RecodeThreads(4)->Settings()->EndTime, "19:06:00");
  // One request per handed-over slot, in slot order.
  EXPECT_EQ(reported_, (std::vector<std::string>{"  Show 1", "  Show 2", "  Show 3", "  Show 4"}));
}

TEST_F(ScheduleEditorTest, FolderAndTemplateChecksComeFirst) {
  for (const std::string& folder : {std::string(), std::string(kSaveFolderHint)}) {
    TSettings window = Window();
    SwitchOn(window, 1);
    window.Slots[2].Check = true;  // incomplete, but the folder is checked first
    window.SaveFilePath = folder;
    const TSaveResult result = editor_.SaveChanges(window, false);
    EXPECT_FALSE(result.Saved);
    EXPECT_EQ(result.Message, "Save Path Must be Entered.");
    EXPECT_FALSE(result.InvalidTime);
  }
  TSettings window = Window();
  SwitchOn(window, 1);
  window.FileNameFormat = "";
  const TSaveResult result = editor_.SaveChanges(window, false);
  EXPECT_FALSE(result.Saved);
  EXPECT_EQ(result.Message, "Save Path Must be Entered.");
  ExpectNothingHandedOver();
}

TEST_F(ScheduleEditorTest, StartUpPassSkipsFolderAndTemplateChecks) {
  TSettings window = Window();
  SwitchOn(window, 1);
  window.SaveFilePath = kSaveFolderHint;
  window.FileNameFormat = "";
  ASSERT_TRUE(editor_.SaveChanges(window, true).Saved);
  ASSERT_NE(editor_.RecodeThreads(1), nullptr);
  EXPECT_EQ(editor_.RecodeThreads(1)->Settings()->SaveFolder, kSaveFolderHint);
  EXPECT_EQ(editor_.RecodeThreads(1)->Settings()->FileNameFormat, "");
  EXPECT_TRUE(editor_.SlotActive(1));

  // The slot checks still apply.
  window.Slots[3].Check = true;
  const TSaveResult refused = editor_.SaveChanges(window, true);
  EXPECT_FALSE(refused.Saved);
  EXPECT_EQ(refused.Message, "Please enter start time/end time/show name/stream link first.");
}

TEST_F(ScheduleEditorTest, AnyMissingFieldOfAnOnSlotStopsTheWholeSave) {
  struct Case {
    const char* what;
    void (*clear)(TSlotControls&);
  };
  const Case cases[] = {
      {"start", [](TSlotControls& s) { s.StartTime.clear(); }},
      {"duration", [](TSlotControls& s) { s.EndTime.clear(); }},
      {"show name", [](TSlotControls& s) { s.ShowName.clear(); }},
      {"stream link", [](TSlotControls& s) { s.URL.clear(); }},
  };
  for (const Case& c : cases) {
    TSettings window = Window();
    SwitchOn(window, 1);
    SwitchOn(window, 2);
    SwitchOn(window, 3);
    c.clear(window.Slots[2]);
    const TSaveResult result = editor_.SaveChanges(window, false);
    EXPECT_FALSE(result.Saved) << c.what;
    EXPECT_EQ(result.Message, "Please enter start time/end time/show name/stream link first.") << c.what;
    EXPECT_FALSE(result.InvalidTime) << c.what;
  }
  // Slots 1 and 2 were complete, yet none was handed over.
  ExpectNothingHandedOver();
}

TEST_F(ScheduleEditorTest, SwitchedOffSlotsWithEmptyFieldsDoNotBlock) {
  TSettings window = Window();
  SwitchOn(window, 3);
  for (int n : {1, 2, 4}) {
    TSlotControls& slot = window.Slots[static_cast<std::size_t>(n - 1)];
    slot.StartTime.clear();
    slot.EndTime = "garbage";
  }
  ASSERT_TRUE(editor_.SaveChanges(window, false).Saved);
  EXPECT_TRUE(editor_.SlotActive(3));
  EXPECT_EQ(threadsMade_, 1);
}

TEST_F(ScheduleEditorTest, UnreadableTimeStopsTheSaveBeforeAnyHandOver) {
  // Slot 1 is complete and valid; slot 2 holds a time nobody can read. No
  // slot may be handed over, slot 1 included.
  const char* const starts[] = {"ab:cd:ef PM", "xx:00:00 AM", "25:00:00"};
  const char* const messages[] = {"'ab:cd:ef' is not a valid time", "'xx:00:00' is not a valid time",
                                  "'25:00:00' is not a valid time"};
  for (std::size_t i = 0; i < 3; ++i) {
    TSettings window = Window();
    SwitchOn(window, 1);
    SwitchOn(window, 2, starts[i]);
    const TSaveResult result = editor_.SaveChanges(window, false);
    EXPECT_FALSE(result.Saved);
    EXPECT_TRUE(result.InvalidTime);
    EXPECT_EQ(result.Message, messages[i]);
  }
  TSettings window = Window();
  SwitchOn(window, 1);
  SwitchOn(window, 2, "07:00:00 PM", "1 hour");
  const TSaveResult result = editor_.SaveChanges(window, false);
  EXPECT_FALSE(result.Saved);
  EXPECT_EQ(result.Message, "'1 hour' is not a valid time");
  ExpectNothingHandedOver();
}

TEST_F(ScheduleEditorTest, RefusedSaveLeavesEarlierHandOversAsTheyWere) {
  TSettings window = Window();
  SwitchOn(window, 1);
  SwitchOn(window, 2);
  ASSERT_TRUE(editor_.SaveChanges(window, false).Saved);
  TRecodeThread* thread1 = editor_.RecodeThreads(1);
  const std::shared_ptr<const TSlotSettings> before = thread1->Settings();

  window.Slots[0].StartTime = "09:00:00 AM";
  window.Slots[1].Check = false;
  window.Slots[2].Check = true;  // incomplete
  EXPECT_FALSE(editor_.SaveChanges(window, false).Saved);
  window.Slots[2].Check = false;
  window.Slots[3] = window.Slots[0];
  window.Slots[3].EndTime = "99:00:00";
  EXPECT_FALSE(editor_.SaveChanges(window, false).Saved);

  EXPECT_EQ(thread1->Settings(), before);
  EXPECT_TRUE(editor_.RecodeThreads(2)->Settings()->Enabled);
  EXPECT_TRUE(editor_.SlotActive(1));
  EXPECT_TRUE(editor_.SlotActive(2));
  EXPECT_EQ(editor_.RecodeThreads(4), nullptr);
  EXPECT_EQ(threadsMade_, 2);
  EXPECT_EQ(reported_.size(), 2u);
}

TEST_F(ScheduleEditorTest, AllSlotsOffDisablesExistingThreadsAndClearsFlags) {
  TSettings window = Window();
  SwitchOn(window, 1, "06:00:00 AM");
  SwitchOn(window, 4);
  ASSERT_TRUE(editor_.SaveChanges(window, false).Saved);
  TRecodeThread* thread1 = editor_.RecodeThreads(1);
  TRecodeThread* thread4 = editor_.RecodeThreads(4);

  for (TSlotControls& slot : window.Slots) slot.Check = false;
  window.Slots[0].StartTime = "08:00:00 AM";  // not handed over while off
  const TSaveResult result = editor_.SaveChanges(window, false);
  ASSERT_TRUE(result.Saved);  // the caller still writes the file

  for (int n = 1; n <= 4; ++n) EXPECT_FALSE(editor_.SlotActive(n)) << "slot " << n;
  EXPECT_EQ(editor_.RecodeThreads(1), thread1);
  EXPECT_EQ(editor_.RecodeThreads(4), thread4);
  EXPECT_EQ(editor_.RecodeThreads(2), nullptr);
  EXPECT_FALSE(thread1->Settings()->Enabled);
  EXPECT_FALSE(thread4->Settings()->Enabled);
  // Nothing else of a switched-off slot's record changes.
  EXPECT_EQ(thread1->Settings()->StartTime, "06:00:00");
  EXPECT_EQ(thread1->Settings()->StreamUrl, "http://127.0.0.1:8000/slot1");
  EXPECT_EQ(reported_.size(), 2u);
  EXPECT_EQ(threadsMade_, 2);
}

TEST_F(ScheduleEditorTest, LaterSavesReuseTheSlotThread) {
  TSettings window = Window();
  SwitchOn(window, 1, "06:00:00 AM");
  ASSERT_TRUE(editor_.SaveChanges(window, false).Saved);
  TRecodeThread* thread = editor_.RecodeThreads(1);

  window.Slots[0].Check = false;
  ASSERT_TRUE(editor_.SaveChanges(window, false).Saved);
  EXPECT_FALSE(thread->Settings()->Enabled);

  // Switched on again: the running thread gets the new record and is enabled.
  SwitchOn(window, 1, "10:15:00 PM", "02:00:00");
  ASSERT_TRUE(editor_.SaveChanges(window, false).Saved);
  EXPECT_EQ(editor_.RecodeThreads(1), thread);
  EXPECT_EQ(threadsMade_, 1);
  EXPECT_TRUE(editor_.SlotActive(1));
  EXPECT_TRUE(thread->Settings()->Enabled);
  EXPECT_EQ(thread->Settings()->StartTime, "22:15:00");
  EXPECT_EQ(thread->Settings()->EndTime, "00:15:00");
  EXPECT_FALSE(thread->Finished());
}

// The web service's answer comes whenever the network lets it: the save never
// waits for it, and only the answer to the slot's latest save is taken.
TEST_F(ScheduleEditorTest, AdvertisementAnswersArriveLaterAndOnlyTheLatestCounts) {
  holdAnswers_ = true;
  TSettings window = Window();
  SwitchOn(window, 1);
  ASSERT_TRUE(editor_.SaveChanges(window, false).Saved);
  TRecodeThread* thread = editor_.RecodeThreads(1);
  EXPECT_EQ(thread->Settings()->AdUrl, "");  // saved before any answer
  held_[0]("http://ads.example/first");
  EXPECT_EQ(thread->Settings()->AdUrl, "http://ads.example/first");

  // Saved again with the same show: its address stays until the new answer.
  window.Slots[0].StartTime = "08:00:00 PM";
  ASSERT_TRUE(editor_.SaveChanges(window, false).Saved);
  EXPECT_EQ(thread->Settings()->AdUrl, "http://ads.example/first");
  // Then another show: the answer still due for the earlier save is dropped,
  // and so is one for a show the slot no longer has.
  window.Slots[0].ShowName = "  Other Show";
  ASSERT_TRUE(editor_.SaveChanges(window, false).Saved);
  EXPECT_EQ(thread->Settings()->AdUrl, "");
  held_[1]("http://ads.example/stale");
  EXPECT_EQ(thread->Settings()->AdUrl, "");
  held_[2]("http://ads.example/other");
  EXPECT_EQ(thread->Settings()->AdUrl, "http://ads.example/other");
  window.Slots[0].Check = false;
  ASSERT_TRUE(editor_.SaveChanges(window, false).Saved);
  ASSERT_EQ(held_.size(), 3u);  // a slot switched off asks nothing
}

TEST_F(ScheduleEditorTest, RequestStopAllStopsEveryThread) {
  TSettings window = Window();
  SwitchOn(window, 1);
  SwitchOn(window, 3);
  ASSERT_TRUE(editor_.SaveChanges(window, false).Saved);
  window.Slots[2].Check = false;  // a disabled thread is stopped as well
  ASSERT_TRUE(editor_.SaveChanges(window, false).Saved);

  editor_.RequestStopAll();
  for (int n : {1, 3}) {
    TRecodeThread* thread = editor_.RecodeThreads(n);
    EXPECT_TRUE(thread->StopRequested.load());
    thread->WaitFor();
    EXPECT_TRUE(thread->Finished());
  }
}

TEST_F(ScheduleEditorTest, SlotNumbersOutsideOneToFourAreRejected) {
  EXPECT_THROW(editor_.RecodeThreads(0), std::out_of_range);
  EXPECT_THROW(editor_.SlotActive(5), std::out_of_range);
}

}  // namespace
}  // namespace wavecrate
