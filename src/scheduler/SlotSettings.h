// The settings record that the schedule editor hands to a slot thread. The
// editor replaces the whole record at once, so a slot thread always reads one
// consistent record, old or new, never a mix.
#pragma once

#include <string>

namespace wavecrate {

struct TSlotSettings {
  std::string StreamUrl;       // stream link, javascript:void(window.open('...')) wrapper removed
  std::string FileNameFormat;  // file-name template
  std::string StartTime;       // 24-hour "hh:nn:ss"
  std::string EndTime;         // start + duration, 24-hour "hh:nn:ss", wraps past midnight
  bool Enabled = false;        // the slot's on/off switch
  int DayFlags = 0;            // Daily 1 + Weekdays 10 + Saturday 100 + Sunday 1000
  bool IsVista = false;
  std::string SaveFolder;  // plain path prefix
  std::string ShowName;    // as picked, indent included
  std::string AdUrl;       // advertisement address, may be empty
  bool IsMute = false;
  std::string Station;       // station label, for the recording's report
  bool JoinUnderWay = true;  // start a show already under way when asked (see Occurrence.h)
};

}  // namespace wavecrate
