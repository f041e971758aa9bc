// The plain parts of the advertisement step: where its scratch files live,
// the timeline arithmetic, and the rules that decide whether a download is an
// advertisement worth mixing. The media work itself is in scheduler/gst.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "common/Http.h"

namespace wavecrate {

// The downloaded clip's scratch file in the program's folder.
inline constexpr const char* kAdTempFileName = "TempSourceAudio.mp3";

// program folder + "/" + name (the folder is given without a trailing "/").
std::string ProgramScratchFile(const std::string& programFolder, const char* name);

// Timeline positions in 100-nanosecond units, as a signed 64-bit count.
using TRefTime = std::int64_t;

// Seconds into 100-ns units, rounded to the nearest unit (halves away from
// zero).
TRefTime SecondsToRefTime(double seconds);
// 100-ns units into nanoseconds; exact.
constexpr std::int64_t RefTimeToNanoseconds(TRefTime units) {
  return units * 100;
}

// Where the clip and the recording sit on the timeline: the clip from 0 to
// its own length, the recording straight after it, for its own length.
struct TAdTimeline {
  TRefTime AdStart = 0;
  TRefTime AdStop = 0;
  TRefTime RecordingStart = 0;
  TRefTime RecordingStop = 0;
};
TAdTimeline PlanAdTimeline(double adSeconds, double recordingSeconds);

// Bounds of the download and of what counts as an advertisement.
struct TAdLimits {
  std::uint64_t MaxDownloadBytes = 20u * 1024 * 1024;
  std::chrono::milliseconds ConnectTimeout{5000};
  std::chrono::milliseconds DownloadTimeout{120000};
  std::chrono::milliseconds DownloadStallTimeout{15000};
  double MinClipSeconds = 0.5;
  double MaxClipSeconds = 600.0;
};

// Why a finished download is no advertisement ("" when it may be mixed): a
// transfer that failed, was cut short or ran over the byte bound, a status
// other than 2xx, or an empty body. The content is judged later, by decoding.
std::string JudgeAdDownload(const THttpDownloadResponse& response);

// What decoding found in a media file.
struct TMediaFacts {
  bool Readable = false;  // the file could be read and its type recognised
  int AudioStreams = 0;
  double Seconds = 0;  // length, as the media detector reports it
  int Rate = 0;        // of the first audio stream, 0 when unknown
  int Channels = 0;
  std::string Error;  // why it could not be read
};
// Why a clip is not mixed ("" when it is): unreadable, no audio, or a length
// outside the limits.
std::string JudgeAdClip(const TMediaFacts& clip, const TAdLimits& limits);
// Why a recording cannot have a clip put in front ("" when it can).
std::string JudgeRecording(const TMediaFacts& recording);

// Downloads `url` into `path` through `http`, by way of `path` + ".part", so
// that `path` changes only when a download that JudgeAdDownload accepts has
// arrived whole; otherwise `path` is left as it was and the partial file is
// removed. "" on success, else why not (for the log).
std::string DownloadAdFile(IHttpClient& http, const std::string& url, const std::string& agent,
                           const std::string& path, const TAdLimits& limits,
                           const std::atomic<bool>* cancel = nullptr);

}  // namespace wavecrate
