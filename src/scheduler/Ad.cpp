#include "scheduler/Ad.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <system_error>

namespace wavecrate {

namespace {

namespace fs = std::filesystem;

std::string Seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", s);
  return text;
}

}  // namespace

std::string ProgramScratchFile(const std::string& programFolder, const char* name) {
  return programFolder + "/" + name;
}

TRefTime SecondsToRefTime(double seconds) {
  // seconds * 1,000,000,000 / 100, to the nearest unit.
  const double units = std::round(seconds * 1e7);
  if (!(units < static_cast<double>(std::numeric_limits<TRefTime>::max()))) {
    return std::numeric_limits<TRefTime>::max();
  }
  if (!(units > static_cast<double>(std::numeric_limits<TRefTime>::min()))) {
    return std::numeric_limits<TRefTime>::min();
  }
  return static_cast<TRefTime>(units);
}

TAdTimeline PlanAdTimeline(double adSeconds, double recordingSeconds) {
  TAdTimeline t;
  t.AdStart = 0;
  t.AdStop = SecondsToRefTime(adSeconds);
  t.RecordingStart = t.AdStop;
  t.RecordingStop = t.AdStop + SecondsToRefTime(recordingSeconds);
  return t;
}

std::string JudgeAdDownload(const THttpDownloadResponse& response) {
  if (response.TooLarge) return "the clip is larger than the download bound";
  if (!response.Success) return response.Error.empty() ? "the download failed" : response.Error;
  if (response.Status < 200 || response.Status > 299) {
    return "the server answered with status " + std::to_string(response.Status);
  }
  if (response.Bytes == 0) return "the server sent an empty body";
  return "";
}

std::string JudgeAdClip(const TMediaFacts& clip, const TAdLimits& limits) {
  if (!clip.Readable) return "the download is not a media file (" + clip.Error + ")";
  if (clip.AudioStreams == 0) return "the download holds no audio";
  if (!(clip.Seconds >= limits.MinClipSeconds))
    return "the clip is too short (" + Seconds(clip.Seconds) + ")";
  if (!(clip.Seconds <= limits.MaxClipSeconds)) return "the clip is too long (" + Seconds(clip.Seconds) + ")";
  return "";
}

std::string JudgeRecording(const TMediaFacts& recording) {
  if (!recording.Readable) return "the recording cannot be read (" + recording.Error + ")";
  if (recording.AudioStreams == 0) return "the recording holds no audio";
  if (!(recording.Seconds > 0)) return "the recording is empty";
  return "";
}

std::string DownloadAdFile(IHttpClient& http, const std::string& url, const std::string& agent,
                           const std::string& path, const TAdLimits& limits,
                           const std::atomic<bool>* cancel) {
  THttpDownloadRequest request;
  request.Url = url;
  request.UserAgent = agent;
  request.MaxBytes = limits.MaxDownloadBytes;
  request.ConnectTimeout = limits.ConnectTimeout;
  request.TotalTimeout = limits.DownloadTimeout;
  request.StallTimeout = limits.DownloadStallTimeout;
  request.Cancel = cancel;

  const std::string part = path + ".part";
  const THttpDownloadResponse response = http.Download(request, part);
  std::string why = JudgeAdDownload(response);
  std::error_code ec;
  if (why.empty()) {
    // rename() puts the new clip in place in one step: a reader sees the old
    // file or the new one, never a mixture.
    fs::rename(part, path, ec);
    if (!ec) return "";
    why = "cannot put the clip in place at " + path + ": " + ec.message();
  }
  fs::remove(part, ec);
  return why;
}

}  // namespace wavecrate
