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

// Local time as UTC, for the tests' purposes.
TLocalTime At(int day, int hour, int minute, int second = 0) {
  const std::int64_t seconds = kFriday + day * 86400 + hour * 3600 + minute * 60 + second;
  TLocalTime t = CivilFromSeconds(seconds);
  t.UnixSeconds = seconds;
  return t;
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
// the start minute on a scheduled day (unless its capture cannot be made),
// and drops it again at once when its capture fails; the decisions act on
// the player.
struct TSlotWalk {
  TSlotWalk(std::string start, std::string end, int dayFlags)
      : StartTime(std::move(start)), EndTime(std::move(end)), DayFlags(dayFlags) {}

  std::string StartTime;
  std::string EndTime;
  int DayFlags = 0;
  bool SlotActive = true;
  bool RecordingActive = false;
  bool CaptureMade = true;    // false: the slot thread never raises RecordingActive
  bool CaptureFails = false;  // true: RecordingActive falls right after it rose
  std::string PlayerUrl;
  bool HeldBack = false;
  std::vector<std::string> Log;

  void Tick(const TLocalTime& now) {
    int h = 0;
    int m = 0;
    ParseHourMinute(StartTime, h, m);
    const bool scheduled = DayFlags == 1 || (DayFlags == 10 && now.DayOfWeek <= 5);
    if (!RecordingActive && SlotActive && CaptureMade && h == now.Hour && m == now.Minute &&
        now.Second == 0 && scheduled) {
      RecordingActive = true;
    }
    TPlaybackTickInput in;
    in.Now = now;
    in.HasThread = true;
    in.SlotActive = SlotActive;
    in.RecordingActive = RecordingActive;
    in.StartTime = StartTime;
    in.EndTime = EndTime;
    in.DayFlags = DayFlags;
    in.PlayerUrl = PlayerUrl;
    in.HeldBack = HeldBack;
    const std::string when = std::to_string(now.DayOfWeek) + " " + std::to_string(now.Hour) + ":" +
                             std::to_string(now.Minute) + ":" + std::to_string(now.Second);
    switch (DecidePlaybackTick(in)) {
      case TPlaybackStep::None:
        break;
      case TPlaybackStep::End:
        PlayerUrl.clear();
        HeldBack = false;
        RecordingActive = false;
        Log.push_back("end " + when);
        break;
      case TPlaybackStep::DropEarly:
        PlayerUrl.clear();
        HeldBack = false;
        Log.push_back("drop " + when);
        break;
      case TPlaybackStep::Start:
        PlayerUrl = "http://radio.test/live";
        Log.push_back("start " + when);
        break;
      case TPlaybackStep::MakeAudible:
        HeldBack = false;
        Log.push_back("audible " + when);
        break;
      case TPlaybackStep::PreConnect:
        PlayerUrl = "http://radio.test/live";
        HeldBack = true;
        Log.push_back("early " + when);
        break;
    }
    if (CaptureFails) RecordingActive = false;
  }
};

bool Ends(const TPlaybackTickInput& in) {
  return DecidePlaybackTick(in) == TPlaybackStep::End;
}

TEST(PlaybackTickTest, EndsOnTheFirstTickOfTheEndMinuteOnly) {
  EXPECT_FALSE(Ends(Playing(At(0, 9, 29, 59), "09:30:00", 1)));
  EXPECT_TRUE(Ends(Playing(At(0, 9, 30, 0), "09:30:00", 1)));
  EXPECT_TRUE(Ends(Playing(At(0, 9, 30, 59), "09:30:45", 1)));
  EXPECT_FALSE(Ends(Playing(At(0, 9, 31, 0), "09:30:00", 1)));
  EXPECT_FALSE(Ends(Playing(At(0, 21, 30, 0), "09:30:00", 1)));

  auto idle = Playing(At(0, 9, 30, 1), "09:30:00", 1);
  idle.PlayerUrl.clear();
  EXPECT_FALSE(Ends(idle));
  // ...and the start check sees an idle player with a recording running.
  EXPECT_EQ(DecidePlaybackTick(idle), TPlaybackStep::Start);

  auto noThread = Playing(At(0, 9, 30, 0), "09:30:00", 1);
  noThread.HasThread = false;
  EXPECT_FALSE(Ends(noThread));
  EXPECT_NE(DecidePlaybackTick(noThread), TPlaybackStep::Start);

  for (const char* bad : {"", "9:30:00", "xx:30:00", "09-3"}) {
    EXPECT_FALSE(Ends(Playing(At(0, 9, 30, 0), bad, 1))) << bad;
  }
}

TEST(PlaybackTickTest, EndDoesNotLookAtSlotActiveButStartDoes) {
  auto off = Playing(At(0, 9, 30, 0), "09:30:00", 1);
  off.SlotActive = false;
  EXPECT_TRUE(Ends(off));
  off.Now = At(0, 9, 0, 0);
  off.PlayerUrl.clear();
  EXPECT_NE(DecidePlaybackTick(off), TPlaybackStep::Start);
  off.SlotActive = true;
  off.RecordingActive = false;
  EXPECT_NE(DecidePlaybackTick(off), TPlaybackStep::Start);
}

TEST(PlaybackTickTest, PlayerOfAShowStopsAtItsEndMinuteWhateverTheDay) {
  // Saturday 01:00, weekday slot, player still holding the link of Friday
  // night's show whose capture has already ended: the player plays only for
  // that show, so its end minute stops it although Saturday is not a day of
  // the slot.
  auto in = Playing(At(1, 1, 0, 0), "01:00:00", 10);
  in.RecordingActive = false;
  EXPECT_TRUE(Ends(in));
  // An early connection of the next show is not that show's player.
  in.HeldBack = true;
  EXPECT_FALSE(Ends(in));

  // The whole night with a capture that fails right after it started.
  TSlotWalk slot{"23:00:00", "01:00:00", 10};
  slot.CaptureFails = true;
  for (std::int64_t s = 0; s < 2 * 86400; ++s) slot.Tick(CivilFromSeconds(kFriday + s));
  EXPECT_EQ(slot.Log, (std::vector<std::string>{"early 5 22:59:50", "audible 5 23:0:0", "end 6 1:0:0"}));
}

TEST(PlaybackTickTest, FridayNightWeekdayShowEndsSaturdayAtItsEndMinute) {
  TSlotWalk slot{"23:00:00", "01:00:00", 10};
  for (std::int64_t s = 0; s < 4 * 86400; ++s) slot.Tick(CivilFromSeconds(kFriday + s));
  // Friday start, Saturday end; nothing over the weekend; Monday 23:00 again.
  EXPECT_EQ(slot.Log, (std::vector<std::string>{"early 5 22:59:50", "audible 5 23:0:0", "end 6 1:0:0",
                                                "early 1 22:59:50", "audible 1 23:0:0"}));
}

TEST(PlaybackTickTest, ConnectsTenSecondsBeforeAStartOnAScheduledDayOnly) {
  TPlaybackTickInput in;
  in.HasThread = true;
  in.SlotActive = true;
  in.StartTime = "10:00:00";
  in.EndTime = "11:00:00";
  in.DayFlags = 10;  // weekdays
  const auto step = [&](const TLocalTime& now) {
    in.Now = now;
    return DecidePlaybackTick(in);
  };
  EXPECT_EQ(step(At(0, 9, 59, 49)), TPlaybackStep::None);
  EXPECT_EQ(step(At(0, 9, 59, 50)), TPlaybackStep::PreConnect);
  EXPECT_EQ(step(At(0, 9, 59, 59)), TPlaybackStep::PreConnect);
  EXPECT_EQ(step(At(0, 10, 0, 0)), TPlaybackStep::None);   // the capture has not started yet
  EXPECT_EQ(step(At(1, 9, 59, 55)), TPlaybackStep::None);  // Saturday
  in.SlotActive = false;
  EXPECT_EQ(step(At(0, 9, 59, 55)), TPlaybackStep::None);
  in.SlotActive = true;
  in.RecordingActive = true;  // a recording of this slot runs: it is started, not connected early
  EXPECT_EQ(step(At(0, 9, 59, 55)), TPlaybackStep::Start);
  in.RecordingActive = false;

  // A midnight start belongs to the next day: Saturday's show is connected
  // on Friday night, and nothing on Saturday night for Sunday.
  in.StartTime = "00:00:00";
  in.DayFlags = 100;
  EXPECT_EQ(step(At(0, 23, 59, 51)), TPlaybackStep::PreConnect);
  EXPECT_EQ(step(At(1, 23, 59, 51)), TPlaybackStep::None);

  EXPECT_EQ(TimeToNextTick(At(0, 9, 0, 0)), 1005ms);
  TLocalTime late = At(0, 9, 0, 0);
  late.Millisecond = 999;
  EXPECT_EQ(TimeToNextTick(late), 6ms);
}

TEST(PlaybackTickTest, EarlyConnectionIsHeardFromTheCaptureOnAndDroppedWithoutOne) {
  const auto walk = [](TSlotWalk slot, int switchOffAt = -1) {
    for (int s = 9 * 3600 + 59 * 60; s < 10 * 3600 + 31 * 60; ++s) {
      if (s == switchOffAt) slot.SlotActive = false;
      slot.Tick(At(0, 0, 0, s));
    }
    return slot.Log;
  };
  TSlotWalk show{"10:00:00", "10:30:00", 1};
  EXPECT_EQ(walk(show), (std::vector<std::string>{"early 5 9:59:50", "audible 5 10:0:0", "end 5 10:30:0"}));
  // No capture could be made: the early connection goes once the start
  // minute is over, and nothing is left playing.
  TSlotWalk noCapture = show;
  noCapture.CaptureMade = false;
  EXPECT_EQ(walk(noCapture), (std::vector<std::string>{"early 5 9:59:50", "drop 5 10:1:0"}));
  // Switched off while it waited.
  EXPECT_EQ(walk(show, 9 * 3600 + 59 * 60 + 55),
            (std::vector<std::string>{"early 5 9:59:50", "drop 5 9:59:55"}));
}

TEST(PlaybackTickTest, RecordingEndsAtItsPlannedInstantWhenTheEndMinuteNeverShows) {
  auto in = Playing(At(0, 9, 0, 0), "09:30:00", 1);
  const std::int64_t end = At(0, 9, 30, 0).UnixSeconds;
  in.PlannedEndUnix = end;
  in.Now = At(0, 9, 29, 59);
  EXPECT_FALSE(Ends(in));
  in.Now = At(0, 10, 45, 0);  // the clock stepped over the end minute
  EXPECT_TRUE(Ends(in));
  in.PlayerUrl.clear();  // a recording whose stream never started ends too, rather than starting it now
  EXPECT_TRUE(Ends(in));
  in.PlayerUrl = "http://radio.test/live";
  in.RecordingActive = false;  // the capture ended early; its player goes at the planned end
  EXPECT_TRUE(Ends(in));
  in.HeldBack = true;  // ... but not the next show's early connection
  EXPECT_FALSE(Ends(in));
}

TEST(PlaybackTickTest, ZeroDurationStartsAndEndsWithinItsMinute) {
  TSlotWalk slot{"08:15:00", "08:15:00", 1};
  for (int s = 8 * 3600 + 14 * 60; s < 8 * 3600 + 17 * 60; ++s) slot.Tick(At(0, 0, 0, s));
  EXPECT_EQ(slot.Log, (std::vector<std::string>{"early 5 8:14:50", "end 5 8:15:0"}));
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

  // A link that played in this show, or that did not answer when last
  // asked, is a stream that is away: tried every few seconds, however long
  // it lasts.
  TMediaRetryBackoff outage;
  waits.clear();
  for (int i = 0; i < 6; ++i) waits.push_back(static_cast<long>(outage.NextDelay(t, true).count()));
  EXPECT_EQ(waits, (std::vector<long>{1000, 2000, 2000, 2000, 2000, 2000}));
}

// Only a page goes to the page browser; a link that answered nothing or an
// error status may be a stream that is not up yet and stays on the player.
TEST(MediaErrorDecisionTest, OnlyAPageLeavesThePlayerAndNothingActsOnAStoppedPlayer) {
  struct Case {
    bool hasThread;
    const char* playerUrl;
    TLinkKind link;
    TMediaErrorAction expected;
  };
  const Case cases[] = {
      {true, "http://x/", TLinkKind::Media, TMediaErrorAction::Retry},
      {true, "http://x/", TLinkKind::Page, TMediaErrorAction::OpenPage},
      {true, "http://x/", TLinkKind::Unknown, TMediaErrorAction::Retry},
      {false, "http://x/", TLinkKind::Page, TMediaErrorAction::Ignore},
      // Cleared by the end minute while the handler waited.
      {true, "", TLinkKind::Page, TMediaErrorAction::Ignore},
      {true, "", TLinkKind::Unknown, TMediaErrorAction::Ignore},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DecideMediaError(c.hasThread, c.playerUrl, c.link), c.expected)
        << c.hasThread << " '" << c.playerUrl << "' " << static_cast<int>(c.link);
  }
}

// The reply that decides: only a 2xx answer says what a link is.
TEST(MediaErrorDecisionTest, LinksAreJudgedMediaPageOrUnknown) {
  struct Case {
    bool success;
    int status;
    const char* contentType;
    TLinkKind expected;
  };
  const Case cases[] = {
      {true, 200, "audio/mpeg", TLinkKind::Media},
      {true, 200, "audio/ogg", TLinkKind::Media},
      {true, 206, "video/x-ms-asf", TLinkKind::Media},
      {true, 200, "application/vnd.apple.mpegurl", TLinkKind::Media},
      {true, 200, "application/pls+xml; charset=utf-8", TLinkKind::Media},
      {true, 200, "text/html", TLinkKind::Page},
      {true, 200, "application/octet-stream", TLinkKind::Page},
      {true, 200, "", TLinkKind::Page},
      // The mount is down (404), the server is restarting (503), or nothing
      // answered at all (refused, time-out, name not resolved, TLS failure).
      {true, 404, "text/html", TLinkKind::Unknown},
      {true, 503, "audio/mpeg", TLinkKind::Unknown},
      {true, 302, "text/html", TLinkKind::Unknown},
      {false, 0, "", TLinkKind::Unknown},
      {false, 200, "audio/mpeg", TLinkKind::Unknown},
  };
  for (const Case& c : cases) {
    THttpResponse reply;
    reply.Success = c.success;
    reply.Status = c.status;
    reply.ContentType = c.contentType;
    EXPECT_EQ(JudgeLinkReply(reply), c.expected) << c.success << " " << c.status << " " << c.contentType;
  }
}

}  // namespace
}  // namespace wavecrate
