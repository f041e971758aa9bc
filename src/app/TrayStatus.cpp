#include "app/TrayStatus.h"

#include <algorithm>
#include <cstdio>

#include "app/ProgramIdentity.h"
#include "common/Clock.h"
#include "scheduler/DayCode.h"
#include "scheduler/Occurrence.h"
#include "scheduler/OutputNaming.h"

namespace wavecrate {
namespace {

constexpr std::int64_t kSecondsPerDay = 86400;
// Today and the next seven days: a show that runs once a week, earlier in
// the day than now, is next due on the same weekday a week on.
constexpr int kDaysAhead = 7;

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  return a >= 0 ? a / b : (a - b + 1) / b;
}

}  // namespace

std::set<std::string> ShowsWithPlannedEnd(const TScheduledSlots& slots,
                                          const std::function<std::optional<std::int64_t>(int)>& plannedEnd) {
  std::set<std::string> shows;
  for (int n = 1; n <= static_cast<int>(slots.size()); ++n) {
    if (slots[n - 1] && plannedEnd(n)) shows.insert(Trim(slots[n - 1]->ShowName));
  }
  return shows;
}

std::optional<TNextShow> NextShow(const TScheduledSlots& slots, std::int64_t nowUnix) {
  const std::int64_t today = FloorDiv(SecondsFromCivil(LocalTimeOf(nowUnix)), kSecondsPerDay);
  std::optional<TNextShow> next;
  for (std::size_t i = 0; i < slots.size(); ++i) {
    const std::optional<TSlotSettings>& s = slots[i];
    if (!s || !s->Enabled) continue;
    const std::optional<TShowTimes> times = ShowTimesOf(*s);
    if (!times) continue;
    for (std::int64_t day = today; day <= today + kDaysAhead; ++day) {
      if (!IsScheduledToday(s->DayFlags, CivilFromSeconds(day * kSecondsPerDay).DayOfWeek)) continue;
      const TOccurrence o = OccurrenceOn(day, *times);
      if (o.StartUnix <= nowUnix) continue;
      if (!next || o.StartUnix < next->StartUnix)
        next = TNextShow{static_cast<int>(i) + 1, Trim(s->ShowName), o.StartUnix};
      break;
    }
  }
  return next;
}

std::string ClockText(std::int64_t unixSeconds) {
  const TLocalTime t = LocalTimeOf(unixSeconds);
  const int hour12 = t.Hour % 12 == 0 ? 12 : t.Hour % 12;
  char text[16];
  std::snprintf(text, sizeof text, "%d:%02d %s", hour12, t.Minute % 60, t.Hour < 12 ? "AM" : "PM");
  return text;
}

std::string DayClockText(std::int64_t unixSeconds) {
  static const char* const kDays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
  const TLocalTime t = LocalTimeOf(unixSeconds);
  return std::string(kDays[std::clamp(t.DayOfWeek, 1, 7) - 1]) + " " + ClockText(unixSeconds);
}

std::string DateTimeText(std::int64_t unixSeconds) {
  const TLocalTime t = LocalTimeOf(unixSeconds);
  char date[16];
  std::snprintf(date, sizeof date, "%04d-%02d-%02d", t.Year % 10000, t.Month % 100, t.Day % 100);
  const std::string day = DayClockText(unixSeconds);
  return day.substr(0, 4) + date + day.substr(3);
}

std::string TrayStatusText(const std::vector<TRecordingNow>& recording,
                           const std::optional<TNextShow>& next) {
  if (!recording.empty()) {
    // The show that ends first; the others only counted, since the tip is
    // short.
    const TRecordingNow& first = *std::min_element(
        recording.begin(), recording.end(),
        [](const TRecordingNow& a, const TRecordingNow& b) { return a.EndUnix < b.EndUnix; });
    std::string text = "Recording " + first.ShowName + " until " + ClockText(first.EndUnix);
    if (recording.size() > 1) text += " (+" + std::to_string(recording.size() - 1) + " more)";
    return text;
  }
  if (next) return "Next: " + next->ShowName + ", " + DayClockText(next->StartUnix);
  return "Nothing scheduled";
}

std::string TrayToolTip(const std::string& title, const std::string& status) {
  return TrayTip(title + "\n" + status);
}

}  // namespace wavecrate
