#include "app/PodcastFeed.h"

#include <cstdio>
#include <filesystem>
#include <limits>

namespace wavecrate {
namespace {

// The token's 128 bits, as hex digits.
constexpr std::size_t kTokenDigits = 32;

bool IsHex(std::string_view text) {
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// Compares without stopping at the first difference, so that the time taken
// does not tell how much of a guessed token was right.
bool SameToken(std::string_view a, std::string_view b) {
  if (a.size() != b.size() || b.empty()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

void AppendXml(std::string& out, std::string_view text) {
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        // Control characters other than tab and line ends cannot appear in
        // an XML document at all, escaped or not.
        if (u < 0x20 && c != '\t' && c != '\n' && c != '\r') {
          out += ' ';
        } else {
          out += c;
        }
    }
  }
}

void Element(std::string& out, const char* name, std::string_view text) {
  out += "<";
  out += name;
  out += ">";
  AppendXml(out, text);
  out += "</";
  out += name;
  out += ">\n";
}

std::string Duration(double seconds) {
  const auto whole = static_cast<long long>(seconds > 0 ? seconds + 0.5 : 0);
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
  return text;
}

std::string DateText(const TLocalTime& t) {
  char text[16];
  std::snprintf(text, sizeof text, "%02d-%02d-%04d", t.Month % 100, t.Day % 100, t.Year % 10000);
  return text;
}

void Synchsafe(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int shift = 21; shift >= 0; shift -= 7)
    out.push_back(static_cast<std::uint8_t>((value >> shift) & 0x7F));
}

void TextFrame(std::vector<std::uint8_t>& out, const char* id, std::string_view prefix,
               std::string_view text) {
  if (text.empty()) return;
  const auto size = static_cast<std::uint32_t>(1 + prefix.size() + text.size());
  out.insert(out.end(), id, id + 4);
  Synchsafe(out, size);
  out.push_back(0);
  out.push_back(0);
  out.push_back(3);  // UTF-8
  out.insert(out.end(), prefix.begin(), prefix.end());
  out.insert(out.end(), text.begin(), text.end());
}

// Parses decimal digits; values beyond 64 bits read as the largest.
std::optional<std::uint64_t> Number(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
      value = std::numeric_limits<std::uint64_t>::max();
    } else {
      value = value * 10 + digit;
    }
  }
  return value;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

std::string HexDigits(const std::uint8_t* bytes, std::size_t count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0xF];
  }
  return text;
}

std::string PodcastKey(std::string_view text) {
  // FNV-1a: stable across versions and machines, which std::hash is not.
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ULL;
  }
  std::uint8_t bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(hash >> (56 - 8 * i));
  return HexDigits(bytes, 8);
}

TRecordingTags PodcastTags(const TRecordingReport& report) {
  const std::int64_t named = report.ScheduledStart != 0 ? report.ScheduledStart : report.ActualStart;
  return MakeRecordingTags(report.ShowName, report.Station, report.StreamUrl, LocalTimeOf(named),
                           LocalTimeOf(report.ActualStart));
}

std::vector<TPodcastEpisode> PodcastEpisodes(const std::vector<THistoryRecord>& records) {
  std::vector<TPodcastEpisode> episodes;
  for (const THistoryRecord& record : records) {
    const TRecordingReport& r = record.Report;
    if (record.Event != THistoryRecord::TEvent::Finished || record.TrashedAt != 0 || r.File.empty()) continue;
    if (r.Result != TRecordingResult::Recorded && r.Result != TRecordingResult::Incomplete &&
        r.Result != TRecordingResult::Interrupted) {
      continue;
    }
    std::error_code error;
    if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(r.File, error))) continue;
    const std::uintmax_t size = std::filesystem::file_size(r.File, error);
    if (error) continue;
    // A file of another size than its recording left it has been written
    // since: a later recording under the same name, still running or done,
    // whose bytes are not this episode's.
    if (record.FileSize >= 0 && size != static_cast<std::uintmax_t>(record.FileSize)) continue;
    const std::optional<TMpegStream> stream = LocateMpegStream(r.File);
    if (!stream || stream->End <= stream->Begin) continue;
    TPodcastEpisode episode;
    episode.Key = PodcastKey(RecordingId(r));
    episode.ShowKey = PodcastKey(r.ShowName);
    episode.Record = record;
    episode.Stream = *stream;
    if (stream->Type == TRecordingFileType::Tagged) {
      episode.Stream.Begin = 0;  // served as it is, its own tag in front
    } else {
      episode.Tag = Id3v24Tag(PodcastTags(r));
    }
    episodes.push_back(std::move(episode));
  }
  return episodes;
}

std::vector<std::uint8_t> Id3v24Tag(const TRecordingTags& tags) {
  std::vector<std::uint8_t> frames;
  TextFrame(frames, "TIT2", "", tags.Title);
  TextFrame(frames, "TPE1", "", tags.Artist);
  TextFrame(frames, "TALB", "", tags.Album);
  TextFrame(frames, "TCON", "", tags.Genre);
  if (tags.HasRecorded) {
    const TLocalTime& t = tags.Recorded;
    char when[32];
    std::snprintf(when, sizeof when, "%04d-%02d-%02dT%02d:%02d:%02d", t.Year % 10000, t.Month % 100,
                  t.Day % 100, t.Hour % 100, t.Minute % 100, t.Second % 100);
    TextFrame(frames, "TDRC", "", when);
  }
  // A comment frame: language, an empty description and its terminator.
  TextFrame(frames, "COMM", std::string_view("eng\0", 4), tags.Comment);
  std::vector<std::uint8_t> tag = {'I', 'D', '3', 4, 0, 0};
  Synchsafe(tag, static_cast<std::uint32_t>(frames.size()));
  tag.insert(tag.end(), frames.begin(), frames.end());
  return tag;
}

std::string Rfc822Date(std::int64_t unixSeconds) {
  static const char* const kDays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const TLocalTime t = CivilFromSeconds(unixSeconds);
  char text[40];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d +0000", kDays[(t.DayOfWeek + 6) % 7],
                t.Day, kMonths[(t.Month + 11) % 12], t.Year, t.Hour, t.Minute, t.Second);
  return text;
}

std::string PodcastFeedXml(const std::string& base, const std::vector<TPodcastEpisode>& episodes,
                           const std::string& showKey) {
  std::string title = "Wavecrate recordings";
  std::string description = "Every show recorded by Wavecrate Talk Radio Recorder";
  std::string self = base + "/feed.rss";
  if (!showKey.empty()) {
    self = base + "/shows/" + showKey + ".rss";
    for (const TPodcastEpisode& e : episodes) {
      if (e.ShowKey != showKey) continue;
      title = e.Record.Report.ShowName.empty() ? "Untitled show" : e.Record.Report.ShowName;
      description =
          title + (e.Record.Report.Station.empty() ? "" : ", recorded from " + e.Record.Report.Station);
      break;
    }
  }
  std::string out =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<rss version=\"2.0\" xmlns:itunes=\"http://www.itunes.com/dtds/podcast-1.0.dtd\">\n<channel>\n";
  Element(out, "title", title);
  Element(out, "link", self);
  Element(out, "description", description);
  Element(out, "generator", "Wavecrate Talk Radio Recorder");
  for (const TPodcastEpisode& e : episodes) {
    if (!showKey.empty() && e.ShowKey != showKey) continue;
    const TRecordingReport& r = e.Record.Report;
    const std::int64_t named = r.ScheduledStart != 0 ? r.ScheduledStart : r.ActualStart;
    const std::string date = DateText(LocalTimeOf(named));
    std::string itemTitle = r.ShowName.empty() ? date : r.ShowName + " " + date;
    std::string itemText = r.ShowName.empty() ? "A recording" : r.ShowName;
    if (!r.Station.empty()) itemText += " from " + r.Station;
    itemText += ", recorded " + date + ".";
    if (r.Result != TRecordingResult::Recorded) itemText += " Part of the show is missing.";
    out += "<item>\n";
    Element(out, "title", itemTitle);
    Element(out, "description", itemText);
    out += "<enclosure url=\"";
    AppendXml(out, base + "/episodes/" + e.Key + ".mp3");
    out += "\" length=\"" + std::to_string(e.Size()) + "\" type=\"audio/mpeg\"/>\n";
    out += "<guid isPermaLink=\"false\">";
    AppendXml(out, "wavecrate-" + RecordingId(r));
    out += "</guid>\n";
    Element(out, "pubDate", Rfc822Date(r.ActualStart));
    Element(out, "itunes:duration", Duration(r.ActualLength));
    if (!r.Station.empty()) Element(out, "itunes:author", r.Station);
    out += "</item>\n";
  }
  out += "</channel>\n</rss>\n";
  return out;
}

TPodcastRoute RoutePodcastPath(std::string_view path, std::string_view token) {
  TPodcastRoute route;
  const std::size_t tokenLength = kTokenDigits;
  if (path.size() < 1 + tokenLength + 1 || path[0] != '/' || path[1 + tokenLength] != '/') return route;
  // Compared in full before the shape of the rest decides anything.
  const bool tokenOk = SameToken(path.substr(1, tokenLength), token);
  std::string_view rest = path.substr(2 + tokenLength);
  TPodcastRoute found;
  constexpr std::size_t kKey = 16;
  auto keyed = [&](std::string_view prefix, std::string_view suffix, TPodcastRoute::TKind kind) {
    if (rest.size() != prefix.size() + kKey + suffix.size() || !rest.starts_with(prefix) ||
        !rest.ends_with(suffix))
      return false;
    const std::string_view key = rest.substr(prefix.size(), kKey);
    if (!IsHex(key)) return false;
    found.Kind = kind;
    found.Key = std::string(key);
    return true;
  };
  if (rest == "feed.rss") {
    found.Kind = TPodcastRoute::TKind::AllFeed;
  } else if (!keyed("shows/", ".rss", TPodcastRoute::TKind::ShowFeed)) {
    keyed("episodes/", ".mp3", TPodcastRoute::TKind::Episode);
  }
  return tokenOk ? found : route;
}

std::string FeedEntityTag(std::string_view xml) {
  return "\"" + PodcastKey(xml) + "\"";
}

std::string EpisodeEntityTag(const TPodcastEpisode& episode) {
  const std::string named = episode.Key + ":" + std::to_string(episode.Size()) + ":" +
                            std::string(episode.Tag.begin(), episode.Tag.end());
  return "\"" + PodcastKey(named) + "\"";
}

bool IfNoneMatchNames(std::string_view header, std::string_view tag) {
  header = Trim(header);
  if (header == "*") return true;
  std::size_t i = 0;
  while (i < header.size()) {
    if (header[i] == ',' || header[i] == ' ' || header[i] == '\t') {
      ++i;
      continue;
    }
    if (header.substr(i, 2) == "W/") i += 2;
    if (i >= header.size() || header[i] != '"') return false;
    const std::size_t close = header.find('"', i + 1);
    if (close == std::string_view::npos) return false;
    if (header.substr(i, close - i + 1) == tag) return true;
    i = close + 1;
  }
  return false;
}

TByteRange ParseByteRange(std::string_view header, std::uint64_t size) {
  TByteRange whole;
  header = Trim(header);
  if (!header.starts_with("bytes=")) return whole;
  const std::string_view asked = Trim(header.substr(6));
  if (asked.find(',') != std::string_view::npos) return whole;
  const std::size_t dash = asked.find('-');
  if (dash == std::string_view::npos) return whole;
  const std::string_view firstText = Trim(asked.substr(0, dash));
  const std::string_view lastText = Trim(asked.substr(dash + 1));
  TByteRange range{TByteRange::TKind::Partial, 0, 0};
  const TByteRange unsatisfiable{TByteRange::TKind::Unsatisfiable, 0, 0};
  if (firstText.empty()) {
    // The last n bytes.
    const std::optional<std::uint64_t> n = Number(lastText);
    if (!n) return whole;
    if (*n == 0 || size == 0) return unsatisfiable;
    range.First = *n >= size ? 0 : size - *n;
    range.Last = size - 1;
    return range;
  }
  const std::optional<std::uint64_t> first = Number(firstText);
  if (!first) return whole;
  std::optional<std::uint64_t> last;
  if (!lastText.empty()) {
    last = Number(lastText);
    if (!last || *last < *first) return whole;
  }
  if (*first >= size) return unsatisfiable;
  range.First = *first;
  range.Last = last && *last < size - 1 ? *last : size - 1;
  return range;
}

}  // namespace wavecrate
