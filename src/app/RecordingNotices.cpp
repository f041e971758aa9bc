#include "app/RecordingNotices.h"

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "app/TrayStatus.h"

namespace wavecrate {
namespace {

// Silence this close to the whole length counts as all of it (the capture
// measures it in windows).
constexpr double kAllSilentMargin = 1.0;

std::string FileNameOf(const std::string& path) {
  return std::filesystem::path(path).filename().string();
}

std::string ShowOf(const TRecordingReport& r) {
  return r.ShowName.empty() ? std::string("Slot ") + std::to_string(r.Slot) : r.ShowName;
}

std::int64_t EndOf(const TRecordingReport& r) {
  return r.ScheduledStart + r.ScheduledLength;
}

}  // namespace

std::string LengthText(double seconds) {
  const long long total = std::max(0LL, std::llround(seconds));
  if (total < 60) return std::to_string(total) + " s";
  const long long minutes = (total + 30) / 60;
  if (minutes < 60) return std::to_string(minutes) + " min";
  return std::to_string(minutes / 60) + " h " + std::to_string(minutes % 60) + " min";
}

std::string GapsText(const std::vector<TSilentGap>& gaps) {
  if (gaps.empty()) return "";
  double total = 0;
  for (const TSilentGap& gap : gaps) total += gap.Seconds;
  return std::to_string(gaps.size()) + (gaps.size() == 1 ? " gap, " : " gaps, ") + LengthText(total);
}

std::string Sentence(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\n')) text.pop_back();
  if (text.empty()) return text;
  if (text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 'a' + 'A');
  const char last = text.back();
  if (last != '.' && last != '!' && last != '?') text += '.';
  return text;
}

TRecordingReport JudgedBySilence(TRecordingReport report) {
  if (report.Result == TRecordingResult::Recorded && report.ActualLength > kAllSilentMargin &&
      report.SilentSeconds >= report.ActualLength - kAllSilentMargin) {
    report.Result = TRecordingResult::Failed;
    report.Reason =
        "Nothing was heard for the whole show: the stream could not be reached, or it sent only silence.";
  }
  return report;
}

TNotice StartedNotice(const TRecordingReport& r) {
  TNotice n;
  const std::string into = "into " + FileNameOf(r.File);
  const std::string station = r.Station.empty() ? std::string() : r.Station + ", ";
  if (r.Joined) {
    const std::int64_t late = std::max<std::int64_t>(0, r.ActualStart - r.ScheduledStart);
    n.Title = "Joined " + ShowOf(r) + " late";
    n.Body = "It began at " + ClockText(r.ScheduledStart) + ", " + LengthText(static_cast<double>(late)) +
             " ago; recording the rest until " + ClockText(EndOf(r)) + ", " + into + ".";
  } else {
    n.Title = "Recording " + ShowOf(r);
    n.Body = Sentence(station + "until " + ClockText(EndOf(r)) + ", " + into);
  }
  return n;
}

TNotice WaitingNotice(const TRecordingReport& r) {
  TNotice n;
  n.Title = "Waiting for " + ShowOf(r) + "'s stream…";
  n.Body = "It cannot be reached yet. It is tried again every few seconds until " + ClockText(EndOf(r)) +
           ", and recorded into " + FileNameOf(r.File) + " as soon as it plays.";
  n.Problem = true;
  return n;
}

TNotice FinishedNotice(const TRecordingReport& r) {
  TNotice n;
  const std::string file = FileNameOf(r.File);
  std::string length = LengthText(r.ActualLength);
  if (r.SilentSeconds >= 60) length += ", " + LengthText(r.SilentSeconds) + " of it silent";
  switch (r.Result) {
    case TRecordingResult::Recorded:
    case TRecordingResult::InProgress:
      n.Title = "Recorded " + ShowOf(r);
      n.Body = file + " (" + length + ").";
      break;
    case TRecordingResult::Incomplete:
      n.Title = ShowOf(r) + " was recorded only in part";
      n.Body = Sentence(r.Reason) + " " + file + " (" + length + ").";
      n.Problem = true;
      break;
    case TRecordingResult::Interrupted:
      n.Title = ShowOf(r) + " was interrupted";
      n.Body = Sentence(r.Reason) + " " + file + ".";
      n.Problem = true;
      break;
    case TRecordingResult::Failed:
      n.Title = ShowOf(r) + " could not be recorded";
      n.Body = Sentence(r.Reason.empty() ? "nothing was recorded" : r.Reason);
      n.Problem = true;
      break;
  }
  return n;
}

TNotice WarningNotice(const std::string& text) {
  return TNotice{"Recording may fail", Sentence(text), true};
}

}  // namespace wavecrate
