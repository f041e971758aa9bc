#include "app/Housekeeping.h"

#include <algorithm>
#include <charconv>
#include <map>

namespace wavecrate {
namespace {

constexpr std::int64_t kDaySeconds = 24 * 60 * 60;
constexpr std::string_view kForever = "forever";
constexpr std::string_view kDays = " days";
constexpr std::string_view kPerShow = " per show";

bool Newer(const THistoryRecord& a, const THistoryRecord& b) {
  return a.Report.ActualStart > b.Report.ActualStart;
}

// The count in front of `suffix` ("7 days"), or 0 when the text is not that.
int CountBefore(std::string_view text, std::string_view suffix, int max) {
  if (text.size() <= suffix.size() || text.substr(text.size() - suffix.size()) != suffix) return 0;
  const std::string_view digits = text.substr(0, text.size() - suffix.size());
  int count = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), count);
  if (error != std::errc() || end != digits.data() + digits.size() || count < 1 || count > max) return 0;
  return count;
}

}  // namespace

std::string KeepRuleText(const TKeepRule& rule) {
  switch (rule.Kind) {
    case TKeepRule::TKind::Days:
      return std::to_string(rule.Count) + std::string(kDays);
    case TKeepRule::TKind::PerShow:
      return std::to_string(rule.Count) + std::string(kPerShow);
    case TKeepRule::TKind::Forever:
      break;
  }
  return std::string(kForever);
}

TKeepRule KeepRuleFromText(std::string_view text) {
  if (const int days = CountBefore(text, kDays, kMaxKeepDays)) return {TKeepRule::TKind::Days, days};
  if (const int count = CountBefore(text, kPerShow, kMaxKeepPerShow))
    return {TKeepRule::TKind::PerShow, count};
  return {};
}

std::string KeepRuleWords(const TKeepRule& rule) {
  switch (rule.Kind) {
    case TKeepRule::TKind::Days:
      return "keeping the last " + std::to_string(rule.Count) + (rule.Count == 1 ? " day" : " days");
    case TKeepRule::TKind::PerShow:
      return rule.Count == 1 ? std::string("keeping the last recording of each show")
                             : "keeping the last " + std::to_string(rule.Count) + " recordings of each show";
    case TKeepRule::TKind::Forever:
      break;
  }
  return "keeping every recording";
}

std::vector<THistoryRecord> RecordingsToTrash(const std::vector<THistoryRecord>& history,
                                              const TKeepRule& rule, std::int64_t nowUnix,
                                              const std::set<std::string>& showsRecording,
                                              const TFileSizeNow& sizeNow) {
  std::vector<THistoryRecord> gone;
  if (rule.Kind == TKeepRule::TKind::Forever || rule.Count < 1) return gone;

  // Which recording each path belongs to, and which shows are on the air.
  std::map<std::string, const THistoryRecord*> owner;
  std::set<std::string> busy = showsRecording;
  for (const THistoryRecord& record : history) {
    const TRecordingReport& r = record.Report;
    if (record.Event == THistoryRecord::TEvent::Started) busy.insert(r.ShowName);
    if (r.File.empty()) continue;
    const THistoryRecord*& newest = owner[r.File];
    if (newest == nullptr || Newer(record, *newest)) newest = &record;
  }

  // The recordings the rule may weigh, newest first.
  std::vector<const THistoryRecord*> kept;
  for (const THistoryRecord& record : history) {
    const TRecordingReport& r = record.Report;
    if (record.Event != THistoryRecord::TEvent::Finished || record.TrashedAt != 0 || record.FileSize < 0 ||
        r.File.empty() || owner[r.File] != &record || busy.count(r.ShowName) != 0)
      continue;
    const std::optional<std::int64_t> size = sizeNow(r.File);
    if (!size || *size != record.FileSize) continue;
    kept.push_back(&record);
  }
  std::stable_sort(kept.begin(), kept.end(), [](const auto* a, const auto* b) { return Newer(*a, *b); });

  std::map<std::string, int> perShow;  // how many of each show are kept so far
  for (const THistoryRecord* record : kept) {
    bool goes = false;
    if (rule.Kind == TKeepRule::TKind::Days) {
      goes = record->Report.ActualStart < nowUnix - static_cast<std::int64_t>(rule.Count) * kDaySeconds;
    } else {
      goes = ++perShow[record->Report.ShowName] > rule.Count;
    }
    if (goes) gone.push_back(*record);
  }
  return gone;
}

THistoryRecord TrashedRecord(THistoryRecord record, std::int64_t nowUnix) {
  record.Event = THistoryRecord::TEvent::Finished;
  record.TrashedAt = std::max<std::int64_t>(nowUnix, 1);  // 0 says "not moved"
  return record;
}

}  // namespace wavecrate
