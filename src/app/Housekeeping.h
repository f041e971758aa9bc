// Housekeeping of recordings: which of the program's own older recordings
// go to the desktop's trash under the user's choice of how many to keep
// (Options, "Keep Recordings…").
//
// Only what the history knows is ever chosen, and only while the file is
// still the one the program wrote: the history keeps each recording's size
// at its end, and a file whose size differs has been edited, replaced or
// re-tagged by the user since, so it is theirs now. Whatever else lies in
// the folder is never looked at.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/RecordingHistory.h"

namespace wavecrate {

struct TKeepRule {
  enum class TKind { Forever, Days, PerShow };
  TKind Kind = TKind::Forever;
  // Days, or recordings of each show; at least 1 unless Forever.
  int Count = 0;

  bool operator==(const TKeepRule&) const = default;
};

inline constexpr int kMaxKeepDays = 3650;
inline constexpr int kMaxKeepPerShow = 999;

// How the rule is kept in the settings file: "forever", "7 days",
// "5 per show".
std::string KeepRuleText(const TKeepRule& rule);
// And back. Anything else (empty, damaged, a count of 0 or out of range)
// reads as forever: a choice that cannot be read must never cost a file.
TKeepRule KeepRuleFromText(std::string_view text);
// The rule in words for the log: "keeping the last 7 days".
std::string KeepRuleWords(const TKeepRule& rule);

// The size of the regular file at a path now; nullopt when there is none (a
// link, a folder or nothing).
using TFileSizeNow = std::function<std::optional<std::int64_t>(const std::string& path)>;

// The recordings whose files go to the trash now: `history` holds one record
// per recording (the newest line of each, as ReadRecentRecordings gives
// them, in any order). A recording goes only when all of these hold:
//   - it is finished, its file not moved to the trash before, and its size
//     at the end is known;
//   - its file is still there with that very size (`sizeNow` is asked only
//     about such recordings);
//   - it is the newest recording of the history under its path (a file
//     deleted by the user and then made again by a later recording belongs
//     to the later one);
//   - its show is not being recorded: neither in `showsRecording` (what the
//     slot threads record now) nor in a recording whose history is still
//     open;
//   - the rule lets it go: started more than Count days before `nowUnix`, or
//     not among the newest Count such recordings of its show.
// Newest first.
std::vector<THistoryRecord> RecordingsToTrash(const std::vector<THistoryRecord>& history,
                                              const TKeepRule& rule, std::int64_t nowUnix,
                                              const std::set<std::string>& showsRecording,
                                              const TFileSizeNow& sizeNow);

// The line that keeps in the history that a recording's file went to the
// trash at `nowUnix`.
THistoryRecord TrashedRecord(THistoryRecord record, std::int64_t nowUnix);

}  // namespace wavecrate
