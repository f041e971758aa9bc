#include "app/RecordingHistory.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <utility>

namespace wavecrate {
namespace {

// How far back the start-up looks for recordings left open. A run leaves at
// most one open recording per slot, and nothing the program does after the
// end of that run comes before the next start, so they are among the newest.
constexpr std::size_t kInterruptedWindow = 64;

// Read from the end in blocks of this size.
constexpr std::size_t kReadBlock = 64 * 1024;

// ------------------------------------------------------------ writing JSON

void AppendEscaped(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char code[8];
          std::snprintf(code, sizeof code, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
          out += code;
        } else {
          out += c;  // UTF-8 bytes stay as they are
        }
    }
  }
  out += '"';
}

std::string RealText(double value) {
  if (!std::isfinite(value)) value = 0;
  char number[32];
  std::snprintf(number, sizeof number, "%.1f", value);
  return number;
}

class TJsonObjectWriter {
 public:
  TJsonObjectWriter() { text_ = "{"; }
  void String(const char* key, std::string_view value) {
    Key(key);
    AppendEscaped(text_, value);
  }
  void Integer(const char* key, std::int64_t value) {
    Key(key);
    text_ += std::to_string(value);
  }
  void Real(const char* key, double value) {
    Key(key);
    text_ += RealText(value);
  }
  void Bool(const char* key, bool value) {
    Key(key);
    text_ += value ? "true" : "false";
  }
  // An array of [start, seconds] pairs.
  void Gaps(const char* key, const std::vector<TSilentGap>& gaps) {
    Key(key);
    text_ += '[';
    for (std::size_t i = 0; i < gaps.size(); ++i) {
      if (i > 0) text_ += ',';
      text_ += '[' + RealText(gaps[i].StartSeconds) + ',' + RealText(gaps[i].Seconds) + ']';
    }
    text_ += ']';
  }
  std::string Done() { return text_ + "}"; }

 private:
  void Key(const char* key) {
    if (text_.size() > 1) text_ += ',';
    AppendEscaped(text_, key);
    text_ += ':';
  }
  std::string text_;
};

// ------------------------------------------------------------ reading JSON

struct TJsonValue {
  enum class TKind { String, Number, Bool, Null, Array } Kind = TKind::Null;
  std::string Text;
  double Number = 0;
  bool Bool = false;
  std::vector<TJsonValue> Items;  // of an array
};

// Arrays nest no deeper than this (the gaps are an array of pairs).
constexpr int kMaxArrayDepth = 4;

// An object of strings, numbers, Booleans, nulls and arrays of them: the
// only shape the history writes. Anything else (a torn line, another
// program's text) fails.
class TJsonObjectReader {
 public:
  explicit TJsonObjectReader(std::string_view text) : s_(text) {}

  bool Read(std::map<std::string, TJsonValue>& fields) {
    Blank();
    if (!Take('{')) return false;
    Blank();
    if (Take('}')) return End();
    while (true) {
      std::string key;
      TJsonValue value;
      Blank();
      if (!String(key)) return false;
      Blank();
      if (!Take(':')) return false;
      Blank();
      if (!Value(value)) return false;
      fields[key] = std::move(value);
      Blank();
      if (Take('}')) return End();
      if (!Take(',')) return false;
    }
  }

 private:
  bool End() {
    Blank();
    return i_ == s_.size();
  }
  void Blank() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\r')) ++i_;
  }
  bool Take(char c) {
    if (i_ < s_.size() && s_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }
  bool Word(std::string_view word) {
    if (s_.substr(i_, word.size()) != word) return false;
    i_ += word.size();
    return true;
  }
  bool Array(TJsonValue& v, int depth) {
    v.Kind = TJsonValue::TKind::Array;
    if (!Take('[') || depth > kMaxArrayDepth) return false;
    Blank();
    if (Take(']')) return true;
    while (true) {
      TJsonValue item;
      Blank();
      if (!Value(item, depth + 1)) return false;
      v.Items.push_back(std::move(item));
      Blank();
      if (Take(']')) return true;
      if (!Take(',')) return false;
    }
  }
  bool Value(TJsonValue& v, int depth = 0) {
    if (i_ >= s_.size()) return false;
    const char c = s_[i_];
    if (c == '[') return Array(v, depth);
    if (c == '"') {
      v.Kind = TJsonValue::TKind::String;
      return String(v.Text);
    }
    if (Word("true") || Word("false")) {
      v.Kind = TJsonValue::TKind::Bool;
      v.Bool = c == 't';
      return true;
    }
    if (Word("null")) return true;
    const std::size_t start = i_;
    while (i_ < s_.size() && std::string_view("+-0123456789.eE").find(s_[i_]) != std::string_view::npos) ++i_;
    if (i_ == start) return false;
    const std::string number(s_.substr(start, i_ - start));
    char* end = nullptr;
    v.Number = std::strtod(number.c_str(), &end);
    v.Kind = TJsonValue::TKind::Number;
    return end == number.c_str() + number.size() && std::isfinite(v.Number);
  }
  static void AppendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  bool Hex4(std::uint32_t& value) {
    if (i_ + 4 > s_.size()) return false;
    value = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = s_[i_++];
      value <<= 4;
      if (c >= '0' && c <= '9') {
        value |= static_cast<std::uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        value |= static_cast<std::uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        value |= static_cast<std::uint32_t>(c - 'A' + 10);
      } else {
        return false;
      }
    }
    return true;
  }
  bool String(std::string& out) {
    if (!Take('"')) return false;
    while (i_ < s_.size()) {
      const char c = s_[i_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;  // raw control bytes: damaged
      if (c != '\\') {
        out += c;
        continue;
      }
      if (i_ >= s_.size()) return false;
      const char e = s_[i_++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out += e;
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          std::uint32_t cp = 0;
          if (!Hex4(cp)) return false;
          if (cp >= 0xD800 && cp < 0xDC00) {
            std::uint32_t low = 0;
            if (!Take('\\') || !Take('u') || !Hex4(low) || low < 0xDC00 || low >= 0xE000) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          }
          AppendUtf8(out, cp);
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }

  std::string_view s_;
  std::size_t i_ = 0;
};

std::string FileNameOf(const std::string& path) {
  return std::filesystem::path(path).filename().string();
}

// When the file last changed, in seconds since 1970; nullopt without a file.
std::optional<std::int64_t> LastChange(const std::string& path) {
  std::error_code ec;
  const auto changed = std::filesystem::last_write_time(path, ec);
  if (ec) return std::nullopt;
  const auto system = std::chrono::file_clock::to_sys(changed);
  return std::chrono::floor<std::chrono::seconds>(system).time_since_epoch().count();
}

}  // namespace

std::string RecordingId(const TRecordingReport& report) {
  return std::to_string(report.ActualStart) + "-" + std::to_string(report.Slot);
}

const char* ResultWord(TRecordingResult result) {
  switch (result) {
    case TRecordingResult::InProgress:
      return "in progress";
    case TRecordingResult::Recorded:
      return "recorded";
    case TRecordingResult::Failed:
      return "failed";
    case TRecordingResult::Incomplete:
      return "incomplete";
    case TRecordingResult::Interrupted:
      return "interrupted";
  }
  return "failed";
}

std::optional<TRecordingResult> ResultFromWord(std::string_view word) {
  for (const TRecordingResult r :
       {TRecordingResult::InProgress, TRecordingResult::Recorded, TRecordingResult::Failed,
        TRecordingResult::Incomplete, TRecordingResult::Interrupted}) {
    if (word == ResultWord(r)) return r;
  }
  return std::nullopt;
}

std::string HistoryLine(const THistoryRecord& record) {
  const TRecordingReport& r = record.Report;
  TJsonObjectWriter w;
  w.String("event", record.Event == THistoryRecord::TEvent::Started ? "started" : "finished");
  w.String("id", record.Id);
  w.Integer("slot", r.Slot);
  w.String("show", r.ShowName);
  w.String("station", r.Station);
  if (!r.StreamUrl.empty()) w.String("link", r.StreamUrl);
  w.String("file", r.File);
  w.Integer("scheduled_start", r.ScheduledStart);
  w.Integer("scheduled_length", r.ScheduledLength);
  w.Integer("actual_start", r.ActualStart);
  w.Real("actual_length", r.ActualLength);
  w.Real("silent_seconds", r.SilentSeconds);
  w.Bool("joined", r.Joined);
  w.String("result", ResultWord(r.Result));
  w.String("reason", r.Reason);
  if (!r.Gaps.empty()) w.Gaps("gaps", r.Gaps);
  if (record.FileSize >= 0) w.Integer("size", record.FileSize);
  if (record.TrashedAt != 0) w.Integer("trashed_at", record.TrashedAt);
  return w.Done();
}

std::optional<THistoryRecord> ParseHistoryLine(std::string_view line) {
  std::map<std::string, TJsonValue> f;
  if (!TJsonObjectReader(line).Read(f)) return std::nullopt;
  using K = TJsonValue::TKind;
  const auto text = [&](const char* key) -> const std::string* {
    const auto it = f.find(key);
    return it != f.end() && it->second.Kind == K::String ? &it->second.Text : nullptr;
  };
  const auto number = [&](const char* key) -> double {
    const auto it = f.find(key);
    return it != f.end() && it->second.Kind == K::Number ? it->second.Number : 0.0;
  };
  const std::string* event = text("event");
  const std::string* id = text("id");
  const std::string* result = text("result");
  if (!event || !id || id->empty() || !result) return std::nullopt;
  THistoryRecord record;
  if (*event == "started") {
    record.Event = THistoryRecord::TEvent::Started;
  } else if (*event == "finished") {
    record.Event = THistoryRecord::TEvent::Finished;
  } else {
    return std::nullopt;
  }
  const std::optional<TRecordingResult> judged = ResultFromWord(*result);
  if (!judged) return std::nullopt;
  record.Id = *id;
  TRecordingReport& r = record.Report;
  r.Slot = static_cast<int>(number("slot"));
  if (const std::string* s = text("show")) r.ShowName = *s;
  if (const std::string* s = text("station")) r.Station = *s;
  if (const std::string* s = text("link")) r.StreamUrl = *s;
  if (const std::string* s = text("file")) r.File = *s;
  r.ScheduledStart = std::llround(number("scheduled_start"));
  r.ScheduledLength = std::llround(number("scheduled_length"));
  r.ActualStart = std::llround(number("actual_start"));
  r.ActualLength = number("actual_length");
  r.SilentSeconds = number("silent_seconds");
  const auto joined = f.find("joined");
  r.Joined = joined != f.end() && joined->second.Kind == K::Bool && joined->second.Bool;
  r.Result = *judged;
  if (const std::string* s = text("reason")) r.Reason = *s;
  if (const auto size = f.find("size"); size != f.end() && size->second.Kind == K::Number)
    record.FileSize = std::llround(size->second.Number);
  record.TrashedAt = std::llround(number("trashed_at"));
  // Lines written before gaps were kept have none; a pair that is not two
  // numbers is left out rather than losing the whole record.
  if (const auto gaps = f.find("gaps"); gaps != f.end() && gaps->second.Kind == K::Array) {
    for (const TJsonValue& pair : gaps->second.Items) {
      if (pair.Kind != K::Array || pair.Items.size() != 2 || pair.Items[0].Kind != K::Number ||
          pair.Items[1].Kind != K::Number)
        continue;
      r.Gaps.push_back(TSilentGap{pair.Items[0].Number, pair.Items[1].Number});
    }
  }
  return record;
}

std::string HistoryPathFor(const std::string& stateFolder, const std::string& exePath) {
  std::string folder = stateFolder;
  if (!folder.empty() && folder.back() != '/') folder += '/';
  return folder + FileNameOf(exePath) + "-recordings.jsonl";
}

std::vector<THistoryRecord> ReadRecentRecordings(const std::string& path, std::size_t max) {
  std::vector<THistoryRecord> found;  // one per recording, in the order first met
  if (max == 0) return found;
  std::ifstream in(path, std::ios::binary);
  if (!in) return found;
  in.seekg(0, std::ios::end);
  std::streamoff pos = in.tellg();
  if (pos <= 0) return found;

  std::map<std::string, std::size_t> index;  // id -> place in found
  const auto take = [&](std::string_view line) {
    std::optional<THistoryRecord> record = ParseHistoryLine(line);
    if (!record) return;
    if (index.count(record->Id) != 0) return;  // its later line, read first, wins
    index[record->Id] = found.size();
    found.push_back(std::move(*record));
  };

  std::string carry;  // the start of a line whose beginning lies further back
  std::string block;
  while (pos > 0 && found.size() < max) {
    const std::streamoff size = std::min<std::streamoff>(pos, static_cast<std::streamoff>(kReadBlock));
    pos -= size;
    block.resize(static_cast<std::size_t>(size));
    in.seekg(pos);
    if (!in.read(block.data(), size)) break;
    block += carry;
    // Lines after the first line end of the block are whole; newest first.
    std::size_t end = block.size();
    while (true) {
      const std::size_t nl = end == 0 ? std::string::npos : block.rfind('\n', end - 1);
      if (nl == std::string::npos) break;
      take(std::string_view(block).substr(nl + 1, end - nl - 1));
      end = nl;
    }
    carry = block.substr(0, end);
    if (pos == 0) take(carry);
  }

  std::stable_sort(found.begin(), found.end(), [](const THistoryRecord& a, const THistoryRecord& b) {
    return a.Report.ActualStart > b.Report.ActualStart;
  });
  if (found.size() > max) found.resize(max);
  return found;
}

TRecordingHistory::TRecordingHistory(std::string path) : path_(std::move(path)) {}

bool TRecordingHistory::Append(const THistoryRecord& record, bool sync, std::string* error) {
  std::string line = HistoryLine(record);
  line += '\n';
  std::lock_guard<std::mutex> lock(mutex_);
  // Held open (and shared) while the program runs: tells a second copy that
  // this history is in use, so its start-up closes none of our recordings in
  // progress.
  if (!file_.Open(path_, error)) return false;
  // A torn last line (a crash mid-write) must not swallow this record: start
  // a line of its own.
  const std::optional<char> last = file_.LastByte();
  if (last && *last != '\n') line.insert(line.begin(), '\n');
  return file_.Append(line, sync, error);
}

std::vector<TRecordingReport> TRecordingHistory::CloseInterrupted() {
  std::vector<TRecordingReport> closed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!file_.Open(path_, nullptr)) return closed;
    // Another running copy holds the file shared: its open recordings are
    // running, not interrupted.
    if (!file_.TryLockAlone()) return closed;
  }
  for (const THistoryRecord& open : ReadRecentRecordings(path_, kInterruptedWindow)) {
    if (open.Event != THistoryRecord::TEvent::Started) continue;
    THistoryRecord record = open;
    record.Event = THistoryRecord::TEvent::Finished;
    TRecordingReport& r = record.Report;
    r.Result = TRecordingResult::Interrupted;
    const std::optional<std::int64_t> changed = r.File.empty() ? std::nullopt : LastChange(r.File);
    if (changed) {
      // The capture writes its file as it goes: its last change is about
      // when the recording stopped, and never after the show's end.
      const std::int64_t end = r.ScheduledStart + r.ScheduledLength;
      const std::int64_t last = std::min<std::int64_t>(*changed, std::max(end, r.ActualStart));
      r.ActualLength = static_cast<double>(std::max<std::int64_t>(0, last - r.ActualStart));
      std::error_code error;
      const std::uintmax_t size = std::filesystem::file_size(r.File, error);
      if (!error) record.FileSize = static_cast<std::int64_t>(size);
      r.Reason = "The program ended during the recording; the file keeps what was recorded until then.";
    } else {
      r.Reason = "The program ended during the recording, and its file is missing.";
    }
    if (Append(record, true)) closed.push_back(r);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  file_.LockShared();
  return closed;
}

}  // namespace wavecrate
