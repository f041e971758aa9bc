// Recording events as lines of a log: one line per event, for a program that
// has nothing else to show them with yet, and for the log beside whatever
// else shows them.
#pragma once

#include <iosfwd>
#include <mutex>
#include <string>

#include "scheduler/RecordingEvents.h"

namespace wavecrate {

class TRecordingLog final : public IRecordingEvents {
 public:
  // The stream must outlive the log (standard error when not given).
  TRecordingLog();
  explicit TRecordingLog(std::ostream& out);

  void RecordingStarted(const TRecordingReport& report) override;
  void RecordingFinished(const TRecordingReport& report) override;
  void RecordingWarning(int slot, const std::string& text) override;

 private:
  void WriteLine(const std::string& line);

  std::ostream& out_;
  std::mutex mutex_;  // slot threads report at the same time
};

// The one-line texts the log writes.
std::string RecordingStartedLine(const TRecordingReport& report);
std::string RecordingFinishedLine(const TRecordingReport& report);

}  // namespace wavecrate
