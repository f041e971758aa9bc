// The playback timer's end and start decisions, walked through days of
// local time, and the wait and choice of the media error handler.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "common/Clock.h"
#include "playback/PlaybackLogic.h"

namespace wavecrate {
namespace {

using namespace std::chrono_literals;

// 2008-01-04 00:00:00, a Friday.
const std::int64_t kFriday = SecondsFromCivil(TLocalTime{2008, 1, 4, 0, 0, 0, 0, 5});

TLocalTime At(int day, int hour, int minute, int second = 0) {
  return CivilFromSeconds(kFriday + day * 86400 + hour * 3600 + minute * 60 + second);
}

TPlaybackTickInput Playing(const TLocalTime& now, const std::string& endTime, int dayFlags) {
  TPlaybackTickInput in;
  in.Now = now;
  in.HasThread = true;
  in.SlotActive = true;
  in.RecordingActive = true;
  in.EndTime = endTime;
  in.DayFlags = dayFlags;
  in.PlayerUrl = "http://radio.test/live";
  return in;
}

// One slot run tick by tick: the recorder thread raises RecordingActive at
// the start minute on a scheduled day, the decisions act on the player.
struct TSlotWalk {
  TSlotWalk(std::string start, std::string end, int dayFlags)
      : StartTime(std::move(start)), EndTime(std::move(end)), DayFlags(dayFlags) {}

  std::string StartTime;
  std::string EndTime;
  int DayFlags = 0;
  bool SlotActive = true;
  bool RecordingActive = false;
  std::string PlayerUrl;
  std::vector<std::string> Log;

  void Tick(const TLocalTime& now) {
    int h = 0;
    int m = 0;
    ParseHourMinute(StartTime, h, m);
    if (!RecordingActive && SlotActive && h == now.Hour && m == now.Minute && now.Second == 0 &&
        (DayFlags == 1 || (DayFlags == 10 && now.DayOfWeek <= 5))) {
      RecordingActive = true;
    }
    TPlaybackTickInput in;
    in.Now = now;
    in.HasThread = true;
    in.SlotActive = SlotActive;
    in.RecordingActive = RecordingActive;
    in.EndTime = EndTime;
    in.DayFlags = DayFlags;
    in.PlayerUrl = PlayerUrl;
    const TPlaybackTickActions a = DecidePlaybackTick(in);
    ASSERT_FALSE(a.End && a.Start);
    const std::string when = std::to_string(now.DayOfWeek) + " " + std::to_string(now.Hour) + ":" +
                             std::to_string(now.Minute) + ":" + std::to_string(now.Second);
    if (a.End) {
      PlayerUrl.clear();
      RecordingActive = false;
      Log.push_back("end " + when);
    }
    if (a.Start) {
      PlayerUrl = "http://radio.test/live";
      Log.push_back("start " + when);
    }
  }
};

TEST(PlaybackTickTest, EndsOnTheFirstTickOfTheEndMinuteOnly) {
  EXPECT_FALSE(DecidePlaybackTick(Playing(At(0, 9, 29, 59), "09:30:00", 1)).End);
  EXPECT_TRUE(DecidePlaybackTick(Playing(At(0, 9, 30, 0), "09:30:00", 1)).End);
  EXPECT_TRUE(DecidePlaybackTick(Playing(At(0, 9, 30, 59), "09:30:45", 1)).End);
  EXPECT_FALSE(DecidePlaybackTick(Playing(At(0, 9, 31, 0), "09:30:00", 1)).End);
  EXPECT_FALSE(DecidePlaybackTick(Playing(At(0, 21, 30, 0), "09:30:00", 1)).End);

  auto idle = Playing(At(0, 9, 30, 1), "09:30:00", 1);
  idle.PlayerUrl.clear();
  EXPECT_FALSE(DecidePlaybackTick(idle).End);
  // ...and the start check sees an idle player with a recording running.
  EXPECT_TRUE(DecidePlaybackTick(idle).Start);

  auto noThread = Playing(At(0, 9, 30, 0), "09:30:00", 1);
  noThread.HasThread = false;
  EXPECT_FALSE(DecidePlaybackTick(noThread).End);
  EXPECT_FALSE(DecidePlaybackTick(noThread).Start);

  for (const char* bad : {"", "9:30:00", "xx:30:00", "09-3"}) {
    EXPECT_FALSE(DecidePlaybackTick(Playing(At(0, 9, 30, 0), bad, 1)).End) << bad;
  }
}

TEST(PlaybackTickTest, EndDoesNotLookAtSlotActiveButStartDoes) {
  auto off = Playing(At(0, 9, 30, 0), "09:30:00", 1);
  off.SlotActive = false;
  EXPECT_TRUE(DecidePlaybackTick(off).End);
  off.Now = At(0, 9, 0, 0);
  off.PlayerUrl.clear();
  EXPECT_FALSE(DecidePlaybackTick(off).Start);
  off.SlotActive = true;
  off.RecordingActive = false;
  EXPECT_FALSE(DecidePlaybackTick(off).Start);
}

TEST(PlaybackTickTest, DayTestStillAppliesWhenNoRecordingIsInProgress) {
  // Saturday 01:00, weekday slot, player still holding a link but nothing
  // recording: the day test decides, as before.
  auto in = Playing(At(1, 1, 0, 0), "01:00:00", 10);
  in.RecordingActive = false;
  EXPECT_FALSE(DecidePlaybackTick(in).End);
  in.Now = At(3, 1, 0, 0);  // Monday
  EXPECT_TRUE(DecidePlaybackTick(in).End);
}

TEST(PlaybackTickTest, FridayNightWeekdayShowEndsSaturdayAtItsEndMinute) {
  TSlotWalk slot{"23:00:00", "01:00:00", 10};
  for (std::int64_t s = 0; s < 4 * 86400; ++s) slot.Tick(CivilFromSeconds(kFriday + s));
  // Friday start, Saturday end; nothing over the weekend; Monday 23:00 again.
  ASSERT_EQ(slot.Log.size(), 3u);
  EXPECT_EQ(slot.Log[0], "start 5 23:0:0");
  EXPECT_EQ(slot.Log[1], "end 6 1:0:0");
  EXPECT_EQ(slot.Log[2], "start 1 23:0:0");
}

TEST(PlaybackTickTest, ZeroDurationStartsAndEndsWithinItsMinute) {
  TSlotWalk slot{"08:15:00", "08:15:00", 1};
  for (int s = 8 * 3600 + 14 * 60; s < 8 * 3600 + 17 * 60; ++s) slot.Tick(At(0, 0, 0, s));
  EXPECT_EQ(slot.Log, (std::vector<std::string>{"start 5 8:15:0", "end 5 8:15:1"}));
}

TEST(PlaybackTickTest, ChangedEndTimeMovesTheStop) {
  TSlotWalk slot{"10:00:00", "11:00:00", 1};
  for (int s = 10 * 3600; s < 10 * 3600 + 1800; ++s) slot.Tick(At(0, 0, 0, s));
  slot.EndTime = "10:45:00";  // a save while playing
  for (int s = 10 * 3600 + 1800; s < 12 * 3600; ++s) slot.Tick(At(0, 0, 0, s));
  EXPECT_EQ(slot.Log, (std::vector<std::string>{"start 5 10:0:0", "end 5 10:45:0"}));
}

TEST(MediaRetryBackoffTest, GrowsToItsLimitAndStartsOverAfterAStableStretch) {
  TMediaRetryBackoff backoff(1s, 30s, 60s);
  auto t = std::chrono::steady_clock::time_point{} + 1h;
  std::vector<long> waits;
  for (int i = 0; i < 7; ++i) waits.push_back(static_cast<long>(backoff.NextDelay(t).count()));
  EXPECT_EQ(waits, (std::vector<long>{1000, 2000, 4000, 8000, 16000, 30000, 30000}));

  // Playing for a few seconds between failures is no reason to hurry.
  backoff.NotePlaying(t);
  EXPECT_EQ(backoff.NextDelay(t + 5s), 30s);
  // A minute of steady play is.
  backoff.NotePlaying(t + 10s);
  backoff.NotePlaying(t + 50s);  // repeated reports keep the first time
  EXPECT_EQ(backoff.NextDelay(t + 70s), 1s);
  EXPECT_EQ(backoff.NextDelay(t + 71s), 2s);

  backoff.Reset();
  EXPECT_EQ(backoff.NextDelay(t + 72s), 1s);
}

TEST(MediaErrorDecisionTest, ActsOnlyOnAPlayerStillHoldingItsLink) {
  int asked = 0;
  auto media = [&] {
    ++asked;
    return true;
  };
  auto page = [&] {
    ++asked;
    return false;
  };
  EXPECT_EQ(DecideMediaError(false, "http://x/", media), TMediaErrorAction::Ignore);
  // Cleared by the end minute while the handler waited.
  EXPECT_EQ(DecideMediaError(true, "", media), TMediaErrorAction::Ignore);
  EXPECT_EQ(asked, 0);
  EXPECT_EQ(DecideMediaError(true, "http://x/", media), TMediaErrorAction::Retry);
  EXPECT_EQ(DecideMediaError(true, "http://x/", page), TMediaErrorAction::OpenPage);
  EXPECT_EQ(asked, 2);
}

}  // namespace
}  // namespace wavecrate
