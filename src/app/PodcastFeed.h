// The recordings as a private podcast: what the feed server answers, without
// any network code.
//
// Every address starts with the share's token, a random 128-bit value in hex:
//
//   /<token>/feed.rss                 every recording
//   /<token>/shows/<key>.rss          the recordings of one show
//   /<token>/episodes/<key>.mp3       one recording
//
// Keys are hex digests of the show name and of the recording's history id, so
// a request names a record of the history, never a file: the file served is
// the one its "finished" line names, and nothing in the request text is ever
// joined into a path. Anything that is not exactly one of these shapes, with
// the right token and a key that the history knows, is "not found", and all
// of these answer alike.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/RecordingHistory.h"
#include "audio/RecordingFile.h"

namespace wavecrate {

// A recording that can be served: finished, its file still in place (not
// trashed), the size its recording left it (when the history knows it) and
// one of the two kinds of recording file.
struct TPodcastEpisode {
  std::string Key;  // 16 hex digits
  std::string ShowKey;
  THistoryRecord Record;
  // The MPEG data served: the whole file of a tagged recording, the data
  // chunk of a WAVE one.
  TMpegStream Stream;
  // Sent in front of the stream: an ID3v2.4 tag made for a WAVE recording;
  // empty for a tagged one, which carries its own.
  std::vector<std::uint8_t> Tag;

  std::uint64_t Size() const { return Tag.size() + (Stream.End - Stream.Begin); }
};

// 16 hex digits naming a text (a show name, a recording's id).
std::string PodcastKey(std::string_view text);

// A new random token: 32 hex digits from the system's random source.
std::string NewPodcastToken();
// Bytes as lower-case hex digits, two per byte.
std::string HexDigits(const std::uint8_t* bytes, std::size_t count);

// The recordings of `records` (as ReadRecentRecordings gives them, newest
// first) that can be served, in the same order. Reads the head of each file.
std::vector<TPodcastEpisode> PodcastEpisodes(const std::vector<THistoryRecord>& records);

// The ID3v2.4 tag (UTF-8 text frames, no padding) carrying `tags`.
std::vector<std::uint8_t> Id3v24Tag(const TRecordingTags& tags);

// The tags a recording's file is given when served: as a tagged recording
// of the same show is written.
TRecordingTags PodcastTags(const TRecordingReport& report);

// An instant as RSS dates are written: "Wed, 09 Dec 2026 19:37:31 +0000".
std::string Rfc822Date(std::int64_t unixSeconds);

// The RSS 2.0 document of `episodes` (newest first). `base` is the share's
// address up to and including the token ("http://host:port/<token>"); `showKey`
// is empty for the feed of every recording.
std::string PodcastFeedXml(const std::string& base, const std::vector<TPodcastEpisode>& episodes,
                           const std::string& showKey = "");

// What a request path asks for.
struct TPodcastRoute {
  enum class TKind { NotFound, AllFeed, ShowFeed, Episode };
  TKind Kind = TKind::NotFound;
  std::string Key;  // of the show or the episode
};
// `path` as it came in, not decoded. The token is compared in constant time.
// Keys are only checked for their shape here; whether the history knows them
// is the caller's question.
TPodcastRoute RoutePodcastPath(std::string_view path, std::string_view token);

// A Range header against a body of `size` bytes. Only one range is honoured;
// a header that asks for several, or that does not parse, is ignored (the
// whole body, as a server may answer).
struct TByteRange {
  enum class TKind { Whole, Partial, Unsatisfiable };
  TKind Kind = TKind::Whole;
  std::uint64_t First = 0;
  std::uint64_t Last = 0;  // inclusive
};
TByteRange ParseByteRange(std::string_view header, std::uint64_t size);

// Entity tags, so that a podcast app polling a feed, or resuming an episode,
// is told "not modified" instead of fetching it again. A feed's names its
// text; an episode's its recording, its size and the tag served in front (a
// finished recording does not change while it has the size it was recorded
// with). Both quoted, as sent.
std::string FeedEntityTag(std::string_view xml);
std::string EpisodeEntityTag(const TPodcastEpisode& episode);
// Whether an If-None-Match header names `tag` (weak tags by their opaque
// part) or is "*": the client holds the answer already. A header that does
// not parse names nothing.
bool IfNoneMatchNames(std::string_view header, std::string_view tag);

// Reads an episode's body (tag, then stream) from its file, which it opens
// once and never through a symbolic link.
class TEpisodeReader {
 public:
  explicit TEpisodeReader(const TPodcastEpisode& episode);
  ~TEpisodeReader();
  TEpisodeReader(const TEpisodeReader&) = delete;
  TEpisodeReader& operator=(const TEpisodeReader&) = delete;

  bool Open() const { return fd_ >= 0; }
  // Up to `count` bytes at `offset` of the body; fewer only at its end or
  // when the file was cut short since (then the answer must end there).
  std::vector<std::uint8_t> Read(std::uint64_t offset, std::size_t count) const;

 private:
  std::vector<std::uint8_t> tag_;
  TMpegStream stream_;
  int fd_ = -1;
};

}  // namespace wavecrate
