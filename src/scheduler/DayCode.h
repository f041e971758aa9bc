// The day code packs a slot's four day flags into decimal digits:
// Daily 1 + Weekdays 10 + Saturday 100 + Sunday 1000.
#pragma once

namespace wavecrate {

int MakeDayCode(bool daily, bool weekdays, bool saturday, bool sunday);

// Whether a slot with this day code runs on the given ISO weekday
// (Monday 1 .. Sunday 7).
bool IsScheduledToday(int dayCode, int isoWeekday);

}  // namespace wavecrate
