// What a slot thread tells the rest of the program about its recordings, so
// that the user can see them (tray, notifications, the recordings history)
// without a terminal. Called on the slot thread; an implementation that
// touches the window must hand the call over to the GUI thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "audio/CaptureThreadBase.h"

namespace wavecrate {

enum class TRecordingResult {
  InProgress,   // started, not yet finished
  Recorded,     // the whole show (or the rest of it, when joined) is in the file
  Failed,       // nothing usable was recorded; Reason says why
  Incomplete,   // a file exists but misses part of the show (disk full, cut short)
  Interrupted,  // the program ended unexpectedly during the recording (found at the next start)
};

struct TRecordingReport {
  int Slot = 0;  // 1..4
  std::string ShowName;
  std::string Station;
  std::string StreamUrl;  // the link recorded
  std::string File;
  // Times as seconds since 1970 (UTC); lengths in seconds.
  std::int64_t ScheduledStart = 0;
  std::int64_t ScheduledLength = 0;
  std::int64_t ActualStart = 0;
  double ActualLength = 0;
  double SilentSeconds = 0;  // silence or stream outage inside the file
  // The silent stretches long enough to be worth telling, in file order.
  std::vector<TSilentGap> Gaps;
  // Started late, the show under way (program start, wake, save): after its
  // start minute, or seconds into it.
  bool Joined = false;
  TRecordingResult Result = TRecordingResult::InProgress;
  std::string Reason;  // plain words; "" for a good recording
};

class IRecordingEvents {
 public:
  virtual ~IRecordingEvents() = default;
  // The capture records into its file (Joined tells a late join from an
  // on-time start). A capture that could not start is never told here: its
  // RecordingFinished (Failed) comes alone.
  virtual void RecordingStarted(const TRecordingReport& report) = 0;
  // The file is finished (or the recording failed); Result and Reason say how.
  virtual void RecordingFinished(const TRecordingReport& report) = 0;
  // Something the user should know before or during a recording that does
  // not end it (for example too little free disk space).
  virtual void RecordingWarning(int slot, const std::string& text) = 0;
};

}  // namespace wavecrate
