// What the tray icon's tip says: the shows being recorded and when they end,
// else the next show due and when it starts, else that nothing is scheduled.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "scheduler/SlotSettings.h"

namespace wavecrate {

// The slots as handed to their slot threads; nullopt for a slot that is not
// handed over (or switched off).
using TScheduledSlots = std::array<std::optional<TSlotSettings>, 4>;

struct TNextShow {
  int Slot = 0;  // 1..4
  std::string ShowName;
  std::int64_t StartUnix = 0;
};

// The first start after `nowUnix` of any switched-on slot, looking at the
// coming week day by day with each slot's day code, as the slot threads
// decide starts (daylight-saving days included). nullopt when none is due.
std::optional<TNextShow> NextShow(const TScheduledSlots& slots, std::int64_t nowUnix);

// The shows (trimmed names) of the slots that record now: a slot's planned
// end is known from its capture's start until its end.
std::set<std::string> ShowsWithPlannedEnd(const TScheduledSlots& slots,
                                          const std::function<std::optional<std::int64_t>(int)>& plannedEnd);

struct TRecordingNow {
  int Slot = 0;
  std::string ShowName;
  std::int64_t EndUnix = 0;
};

// "9:30 PM" and "Sat 8:30 AM" for an instant, in local time.
std::string ClockText(std::int64_t unixSeconds);
std::string DayClockText(std::int64_t unixSeconds);
// "Sat 2008-01-05 8:30 AM".
std::string DateTimeText(std::int64_t unixSeconds);

// "Recording Other Music until 9:30 PM" (the show that ends first, with
// "(+1 more)" while others record too),
// "Next: Other Music, Sat 8:30 AM" or "Nothing scheduled".
std::string TrayStatusText(const std::vector<TRecordingNow>& recording, const std::optional<TNextShow>& next);

// The whole tip: the program title, then the status on a line of its own,
// cut to what the tray shows (TrayTip).
std::string TrayToolTip(const std::string& title, const std::string& status);

}  // namespace wavecrate
