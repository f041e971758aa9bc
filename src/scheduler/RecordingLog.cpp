#include "scheduler/RecordingLog.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <ostream>

#include "common/Clock.h"

namespace wavecrate {
namespace {

// "hh:nn" of an instant in local time.
std::string LocalHourMinute(std::int64_t unixSeconds) {
  const TLocalTime t = LocalTimeOf(unixSeconds);
  char text[8];
  std::snprintf(text, sizeof text, "%02d:%02d", t.Hour % 100, t.Minute % 100);
  return text;
}

std::string Show(const TRecordingReport& r) {
  std::string text = "slot " + std::to_string(r.Slot) + ", \"" + r.ShowName + "\"";
  if (!r.Station.empty()) text += " (" + r.Station + ")";
  return text;
}

// A line must stay one line whatever a name holds.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

}  // namespace

std::string RecordingStartedLine(const TRecordingReport& r) {
  std::string line = "wavecrate: " + Show(r) + ": recording into " + r.File;
  if (r.Joined) {
    const std::int64_t late = std::max<std::int64_t>(0, r.ActualStart - r.ScheduledStart);
    line += ", joined " + std::to_string(late / 60) + " min after its " + LocalHourMinute(r.ScheduledStart) +
            " start";
  }
  return OneLine(line);
}

std::string RecordingFinishedLine(const TRecordingReport& r) {
  const long long seconds = std::llround(r.ActualLength);
  std::string line = "wavecrate: " + Show(r) + ": ";
  switch (r.Result) {
    case TRecordingResult::Recorded:
      line += "recorded";
      break;
    case TRecordingResult::Incomplete:
      line += "incomplete";
      break;
    case TRecordingResult::Failed:
      line += "failed";
      break;
    case TRecordingResult::Interrupted:
      line += "interrupted";
      break;
    case TRecordingResult::InProgress:
      line += "still recording";
      break;
  }
  line += ", " + std::to_string(seconds) + " s";
  if (r.SilentSeconds >= 1) line += " (" + std::to_string(std::llround(r.SilentSeconds)) + " s silent)";
  line += " in " + r.File;
  if (!r.Reason.empty()) line += ": " + r.Reason;
  return OneLine(line);
}

TRecordingLog::TRecordingLog() : out_(std::cerr) {}

TRecordingLog::TRecordingLog(std::ostream& out) : out_(out) {}

void TRecordingLog::RecordingStarted(const TRecordingReport& report) {
  WriteLine(RecordingStartedLine(report));
}

void TRecordingLog::RecordingFinished(const TRecordingReport& report) {
  WriteLine(RecordingFinishedLine(report));
}

void TRecordingLog::RecordingWarning(int slot, const std::string& text) {
  WriteLine(OneLine("wavecrate: slot " + std::to_string(slot) + ": " + text));
}

void TRecordingLog::WriteLine(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  out_ << line << std::endl;
}

}  // namespace wavecrate
