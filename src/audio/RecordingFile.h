// The two kinds of file a recording can be written as, and what the program
// needs to know about a finished (or cut-off) one without a media framework.
//
//   Wave    MP3 frames inside a RIFF WAVE file named ".mp3" (the layout of
//           the program's earlier versions, and the default).
//   Tagged  a plain MPEG audio stream: an ID3v2 tag in front, then a Xing
//           frame (frame and byte counts, seek table) before the audio
//           frames, so that players show the right length and seek exactly.
//
// Both are named ".mp3"; the first bytes of a file tell which one it is.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/Clock.h"

namespace wavecrate {

enum class TRecordingFileType { Wave, Tagged };

// The value kept in the settings file ("wave", "tagged"), and back. Anything
// unknown reads as Wave, so an older or hand-edited file keeps the layout
// earlier versions wrote.
const char* RecordingFileTypeKey(TRecordingFileType type);
TRecordingFileType ParseRecordingFileType(std::string_view key);

// The program's choice for new recordings (Recording Quality), kept for
// the whole process; Wave until set. Any thread.
TRecordingFileType RecordingFileTypeChoice();
void SetRecordingFileTypeChoice(TRecordingFileType type);

// What a tagged file says about the show it holds.
struct TRecordingTags {
  std::string Title;   // "<show> <mm-dd-yyyy>"
  std::string Artist;  // the station
  std::string Album;   // the show
  std::string Genre = "Speech";
  std::string Comment;  // the stream link
  TLocalTime Recorded;  // when the recording began, local time
  bool HasRecorded = false;
};

// The tags of a recording of `show` (already trimmed) from `station`, made
// from `link`, that began at `start` (local time). The title's date is
// `showDate`, the date the file is named after (a show joined after
// midnight keeps its start's date).
TRecordingTags MakeRecordingTags(const std::string& show, const std::string& station, const std::string& link,
                                 const TLocalTime& showDate, const TLocalTime& start);

// The name a tagged copy of the recording at `path` is first offered:
// "<name> (tagged).mp3" beside it.
std::string TaggedCopyPath(const std::string& path);

// Where the MPEG audio frames of a recording file lie: after the ID3v2 tag
// of a tagged file (the Xing frame included), or in the data chunk of a
// WAVE file. A WAVE file still carrying its provisional sizes, or sizes
// beyond its end (cut off by a crash), ends with the file.
struct TMpegStream {
  TRecordingFileType Type = TRecordingFileType::Wave;
  std::uint64_t Begin = 0;
  std::uint64_t End = 0;
};
// Nothing when the file cannot be read or is neither kind.
std::optional<TMpegStream> LocateMpegStream(const std::string& path);

// The audio a recording file's MPEG frames hold, counted frame by frame
// from where LocateMpegStream says they begin to the end of the file: a
// WAVE header's data size is not believed, in either direction, since a
// header that was not brought up to date is one of the things this is
// meant to catch. A Xing frame (no sound) is not counted; bytes that are
// no frame are stepped over to the next two frames in a row.
struct TMpegCount {
  std::uint64_t Frames = 0;
  double Seconds = 0;
};
// Nothing when LocateMpegStream finds no frames to count.
std::optional<TMpegCount> CountMpegFrames(const std::string& path);

// Keeps the Xing frame of a tagged file in step with the frames behind it,
// while the file grows and after it was cut short: each Update counts the
// whole frames added since the last one and writes the frame and byte counts
// into the Xing frame in place (eight bytes; it needs no free space). A file
// whose writer died then still tells readers its length, up to the last
// update. Counts as GStreamer's Xing writer does at the end of a stream:
// the frames from the Xing frame on (itself included), the bytes from the
// Xing frame to the end of the last whole frame.
class TXingCounts {
 public:
  explicit TXingCounts(std::string path) : path_(std::move(path)) {}
  // Counts and writes. False when the file has no Xing frame (yet) or
  // cannot be written.
  bool Update();
  // Only counts, leaving the file as it is. False when it has no Xing frame.
  bool Count();
  std::uint32_t Frames() const { return frames_; }
  std::uint64_t Bytes() const { return next_ - xingAt_; }
  // The audio the counted frames hold, in seconds, and one frame's.
  double Seconds() const;
  double FrameSeconds() const;

 private:
  bool FindXing();
  std::string path_;
  std::uint64_t xingAt_ = 0;    // where the Xing frame starts
  std::uint64_t fieldsAt_ = 0;  // where its flags field starts
  std::uint64_t next_ = 0;      // the first byte after the last counted frame
  std::uint32_t frames_ = 0;
  std::uint32_t samplesPerFrame_ = 0;
  std::uint32_t sampleRate_ = 0;
};

}  // namespace wavecrate
