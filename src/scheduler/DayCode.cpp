#include "scheduler/DayCode.h"

namespace wavecrate {

int MakeDayCode(bool daily, bool weekdays, bool saturday, bool sunday) {
  return (daily ? 1 : 0) + (weekdays ? 10 : 0) + (saturday ? 100 : 0) + (sunday ? 1000 : 0);
}

bool IsScheduledToday(int dayCode, int isoWeekday) {
  int d = dayCode;
  if (d >= 1000) {
    if (isoWeekday == 7) return true;
    d -= 1000;
  }
  if (d >= 100) {
    if (isoWeekday == 6) return true;
    d -= 100;
  }
  if (d >= 10) {
    if (isoWeekday >= 1 && isoWeekday <= 5) return true;
    d -= 10;
  }
  return d >= 1;
}

}  // namespace wavecrate
