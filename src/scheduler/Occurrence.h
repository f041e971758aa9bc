// When a slot thread starts a recording, decided in occurrences: one
// occurrence is the show that starts on one local date at the slot's start
// minute. Each occurrence is recorded at most once per run of the program,
// whatever the clock does: a minute shown twice when daylight-saving time
// ends, a clock stepped back over a finished show, a capture that failed.
//
// A show starts in its start minute as the clock shows it (on time, unless
// that first look came seconds into the minute), or late:
// - when the clock went past its start since the last look without showing
//   the start minute (the hour skipped when daylight-saving time begins, a
//   clock stepped forward, a machine that slept), while the show still runs;
// - when the program asks for it (start-up, a wake from sleep, Save changes)
//   while the show runs ("joining a show under way").
// With joining switched off, a late start happens only within the first
// minute after the show's start instant, so a show is never started part-way.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <set>

#include "common/Clock.h"
#include "scheduler/SlotSettings.h"

namespace wavecrate {

// A slot's start minute of the day and its length in whole minutes (the end
// minute's distance from the start minute, through midnight).
struct TShowTimes {
  int StartMinute = 0;    // 0 .. 1439
  int LengthMinutes = 0;  // 0 .. 1439
  bool operator==(const TShowTimes&) const = default;
};

// nullopt when StartTime or EndTime does not hold two-digit hours and
// minutes in range (such a slot never starts).
std::optional<TShowTimes> ShowTimesOf(const TSlotSettings& settings);

// The first instant at or after `from` at which the local clock shows the
// given minute of the day, or jumps over it.
std::int64_t NextInstantAtMinute(std::int64_t from, int minuteOfDay);

struct TOccurrence {
  std::int64_t Day = 0;        // local date of the scheduled start, days since 1970
  TLocalTime Date;             // the same date (Year, Month, Day, DayOfWeek) and the start minute
  std::int64_t StartUnix = 0;  // when the start minute begins (or is jumped over)
  std::int64_t EndUnix = 0;    // when the end minute first begins after the start
  // Started late: after its start minute, or seconds into it (the show was
  // under way when the program, a save or a wake first looked).
  bool Joined = false;
};

// The occurrence of a show that starts on local day `day`.
TOccurrence OccurrenceOn(std::int64_t day, const TShowTimes& times);

// One slot's memory of the clock and of what it started. Not thread-safe:
// one slot thread owns it.
class TOccurrenceWatch {
 public:
  // One look at the clock. Returns the occurrence to record now (and counts
  // it as recorded from then on), or nullopt. `joinRequested`: the program
  // asks to join a show under way (honoured when settings.JoinUnderWay).
  std::optional<TOccurrence> Check(const TSlotSettings& settings, const TLocalTime& now, bool joinRequested);

 private:
  bool Recorded(std::int64_t day, int startMinute) const;
  void MarkRecorded(std::int64_t day, int startMinute);
  // Occurrences of the last two days asked for, so that looking once a
  // second costs no time-zone arithmetic.
  const TOccurrence& Cached(std::int64_t day, const TShowTimes& times);

  struct TCacheEntry {
    bool Valid = false;
    std::int64_t Day = 0;
    TShowTimes Times;
    TOccurrence Occurrence;
  };
  std::array<TCacheEntry, 2> cache_{};
  std::optional<std::int64_t> lastLook_;
  // Day * 1440 + start minute of every occurrence started in this run (the
  // last few days only).
  std::set<std::int64_t> recorded_;
};

}  // namespace wavecrate
