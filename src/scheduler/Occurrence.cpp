#include "scheduler/Occurrence.h"

#include <string>
#include <utility>

#include "scheduler/DayCode.h"

namespace wavecrate {
namespace {

constexpr int kMinutesPerDay = 24 * 60;
constexpr std::int64_t kSecondsPerDay = 86400;
// Occurrences remembered per slot; a slot starts at most one a day, so this
// covers weeks of clock steps back and forth.
constexpr std::size_t kRememberedOccurrences = 64;
// A start found this many seconds or more into its start minute was not
// watched for from before the minute (the program started, the slot was
// saved on, the machine woke up): the show was under way, and is joined.
// A watching thread looks within a second of the minute's start even on a
// busy machine.
constexpr std::int64_t kLateInStartMinuteSeconds = 3;

// The decimal number in two characters of a time text, or -1 when they are
// missing or not digits.
int TwoDigitField(const std::string& text, std::size_t at) {
  if (text.size() < at + 2) return -1;
  const char hi = text[at];
  const char lo = text[at + 1];
  if (hi < '0' || hi > '9' || lo < '0' || lo > '9') return -1;
  return (hi - '0') * 10 + (lo - '0');
}

int MinuteOfDay(const std::string& time) {
  const int hour = TwoDigitField(time, 0);
  const int minute = TwoDigitField(time, 3);
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59) return -1;
  return hour * 60 + minute;
}

std::int64_t DayOf(const TLocalTime& t) {
  const std::int64_t seconds = SecondsFromCivil(t);
  return seconds >= 0 ? seconds / kSecondsPerDay : (seconds - kSecondsPerDay + 1) / kSecondsPerDay;
}

TLocalTime CivilAt(std::int64_t day, int minuteOfDay) {
  return CivilFromSeconds(day * kSecondsPerDay + static_cast<std::int64_t>(minuteOfDay) * 60);
}

std::int64_t Key(std::int64_t day, int startMinute) {
  return day * kMinutesPerDay + startMinute;
}

}  // namespace

std::optional<TShowTimes> ShowTimesOf(const TSlotSettings& settings) {
  const int start = MinuteOfDay(settings.StartTime);
  const int end = MinuteOfDay(settings.EndTime);
  if (start < 0 || end < 0) return std::nullopt;
  return TShowTimes{start, (end - start + kMinutesPerDay) % kMinutesPerDay};
}

std::int64_t NextInstantAtMinute(std::int64_t from, int minuteOfDay) {
  const std::int64_t firstDay = DayOf(LocalTimeOf(from));
  for (std::int64_t day = firstDay; day <= firstDay + 2; ++day) {
    const TLocalInstants at = InstantsOfLocalTime(CivilAt(day, minuteOfDay));
    if (at.First >= from) return at.First;
    if (at.Repeat && *at.Repeat >= from) return *at.Repeat;
  }
  return from;  // not reached: every minute of the day comes within two days
}

TOccurrence OccurrenceOn(std::int64_t day, const TShowTimes& times) {
  TOccurrence o;
  o.Day = day;
  o.Date = CivilAt(day, times.StartMinute);
  o.StartUnix = InstantsOfLocalTime(o.Date).First;
  o.Date.UnixSeconds = o.StartUnix;
  o.EndUnix = NextInstantAtMinute(o.StartUnix, (times.StartMinute + times.LengthMinutes) % kMinutesPerDay);
  return o;
}

std::optional<TOccurrence> TOccurrenceWatch::Check(const TSlotSettings& settings, const TLocalTime& now,
                                                   bool joinRequested) {
  const std::int64_t t = now.UnixSeconds;
  const std::optional<std::int64_t> previous = std::exchange(lastLook_, t);
  if (!settings.Enabled) return std::nullopt;
  const std::optional<TShowTimes> times = ShowTimesOf(settings);
  if (!times) return std::nullopt;
  const std::int64_t today = DayOf(now);

  // On time: the clock shows the start minute on a scheduled day.
  if (now.Hour * 60 + now.Minute == times->StartMinute &&
      IsScheduledToday(settings.DayFlags, now.DayOfWeek) && !Recorded(today, times->StartMinute)) {
    TOccurrence o = Cached(today, *times);
    // This very minute, which may be the second showing of a repeated one.
    const std::int64_t minuteStart = t - now.Second;
    if (minuteStart != o.StartUnix) {
      o.StartUnix = minuteStart;
      o.EndUnix =
          NextInstantAtMinute(minuteStart, (times->StartMinute + times->LengthMinutes) % kMinutesPerDay);
    }
    o.Joined = t - minuteStart >= kLateInStartMinuteSeconds;
    MarkRecorded(today, times->StartMinute);
    return o;
  }

  // Late: today's show, or yesterday's running past midnight, is under way.
  for (const std::int64_t day : {today, today - 1}) {
    if (!IsScheduledToday(settings.DayFlags, CivilAt(day, 0).DayOfWeek)) continue;
    if (Recorded(day, times->StartMinute)) continue;
    const TOccurrence& o = Cached(day, *times);
    if (t < o.StartUnix || t >= o.EndUnix) continue;
    const bool passedStart = previous && *previous < o.StartUnix;
    const bool join = settings.JoinUnderWay && (passedStart || joinRequested);
    const bool justBegun = passedStart && t - o.StartUnix < 60;
    if (!join && !justBegun) continue;
    TOccurrence late = o;
    late.Joined = true;
    MarkRecorded(day, times->StartMinute);
    return late;
  }
  return std::nullopt;
}

bool TOccurrenceWatch::Recorded(std::int64_t day, int startMinute) const {
  return recorded_.count(Key(day, startMinute)) != 0;
}

void TOccurrenceWatch::MarkRecorded(std::int64_t day, int startMinute) {
  recorded_.insert(Key(day, startMinute));
  while (recorded_.size() > kRememberedOccurrences) recorded_.erase(recorded_.begin());
}

const TOccurrence& TOccurrenceWatch::Cached(std::int64_t day, const TShowTimes& times) {
  for (const TCacheEntry& e : cache_) {
    if (e.Valid && e.Day == day && e.Times == times) return e.Occurrence;
  }
  TCacheEntry* slot = &cache_[0];
  if (cache_[0].Valid && (!cache_[1].Valid || cache_[1].Day < cache_[0].Day)) slot = &cache_[1];
  *slot = TCacheEntry{true, day, times, OccurrenceOn(day, times)};
  return slot->Occurrence;
}

}  // namespace wavecrate
