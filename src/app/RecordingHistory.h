// The recordings history: one record per recording, kept for years in a file
// of the program's own in its state folder.
//
// The file holds JSON lines, one object per line, appended and never
// rewritten. That suits the history better than a database: an append is one
// write() of one whole line, so a crash (or kill -9) can at worst leave one
// torn last line, which the reader skips while every line before it stays
// readable; the newest records are found by reading the file backwards from
// its end, so the cost of showing the history follows what is shown, not the
// file's age; and the file is plain text that a user can read or grep
// without any tool of ours, with no library to add.
//
// A recording writes two lines: "started" when its capture starts and
// "finished" (with its result) when its file is done. A "started" line
// without its "finished" line is a recording that the program did not live
// to finish; the next start adds its "finished" line with the result
// "interrupted" (CloseInterrupted).
//
// A "finished" line of a recording with silent stretches lists them as
// "gaps": [[start, seconds], ...], seconds from the file's start; lines
// without the key (older ones among them) have none.
//
// A "finished" line also keeps the file's size at the end ("size"), and a
// recording whose file the housekeeping moved to the trash gets one more
// "finished" line that says when ("trashed_at").
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/Files.h"
#include "scheduler/RecordingEvents.h"

namespace wavecrate {

struct THistoryRecord {
  enum class TEvent { Started, Finished };
  TEvent Event = TEvent::Started;
  // Ties a recording's lines together: its actual start and its slot.
  std::string Id;
  TRecordingReport Report;
  // The file's size in bytes when the recording finished; -1 when not known
  // (no file, or a line of an older program).
  std::int64_t FileSize = -1;
  // When (seconds since 1970) the file was moved to the desktop's trash; 0
  // while it was not.
  std::int64_t TrashedAt = 0;
};

// The id of a recording's lines.
std::string RecordingId(const TRecordingReport& report);

// The word a result is stored as ("recorded", "failed", ...), and back
// (nullopt for a word that is not one of ours).
const char* ResultWord(TRecordingResult result);
std::optional<TRecordingResult> ResultFromWord(std::string_view word);

// One record as one line of JSON, without the line end; and back (nullopt for
// a torn, foreign or damaged line).
std::string HistoryLine(const THistoryRecord& record);
std::optional<THistoryRecord> ParseHistoryLine(std::string_view line);

// The history file of a program: "<executable's file name>-recordings.jsonl"
// in its state folder (beside the log).
std::string HistoryPathFor(const std::string& stateFolder, const std::string& exePath);

// The newest `max` recordings, newest start first, one record per recording
// (its "finished" line when there is one, else its "started" line, whose
// result says it is still in progress). The file is read backwards from its
// end until `max` recordings are found, so this costs what it returns. Lines
// that do not parse are skipped. A missing file is an empty history.
std::vector<THistoryRecord> ReadRecentRecordings(const std::string& path, std::size_t max);

// The writer. Safe to use from several threads.
class TRecordingHistory {
 public:
  explicit TRecordingHistory(std::string path);

  const std::string& Path() const { return path_; }

  // Appends the record as one line. `sync`: the line is on the disk when this
  // returns (fdatasync), not only in the system's cache, which already
  // survives the end of the program. False (and `error` says why) when the
  // line could not be written.
  bool Append(const THistoryRecord& record, bool sync, std::string* error = nullptr);

  // At start-up, before any recording starts: every recording among the
  // newest whose "started" line has no "finished" line was running when the
  // program ended without finishing it. Each gets its "finished" line now,
  // with the result Interrupted, its length as far as its file was written
  // (the file's last change), and returns in the list. Nothing is closed
  // while another running copy of the program keeps the same history open.
  std::vector<TRecordingReport> CloseInterrupted();

 private:
  std::string path_;
  std::mutex mutex_;
  TLockedAppendFile file_;
};

}  // namespace wavecrate
