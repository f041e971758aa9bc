// TAd: the advertisement step on GStreamer Editing Services.
//
// After each recording the slot thread hands the recording and the slot's
// advertisement address to its TAd. The clip is downloaded into
// "TempSourceAudio.mp3" beside the program, both files are measured with
// GstDiscoverer, and a GES timeline with one audio track gets the clip at
// 0..T1 and the recording at T1..T1+T2 (lengths in 100-ns units, rounded as
// the core's PlanAdTimeline does, then exactly in nanoseconds). The timeline
// is rendered, as the source element of one of our own bounded graphs
// (TGraph), through the MP3 encoder bin and the WAV writer (the capture's own
// tail) into recording + ".bak"; once that file is complete it is renamed
// over the recording.
//
// Nothing reaches the recording unless every step worked: a download that is
// not a whole 2xx body within the bounds, a clip that does not decode as audio
// of 0.5 s to 10 min, a recording that cannot be read, a component that cannot
// be made, a render that errors, stalls, takes too long or is cancelled all
// end the step with false, remove what it had written, log why on stderr and
// leave the recording byte for byte as it was.
//
// Threads: a TAd belongs to one slot thread and runs on it; only Cancel may be
// called from another thread. The media part of every TAd in the process runs
// one at a time (GES keeps process-wide state).
#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <string>

#include "audio/EncoderSettings.h"
#include "common/Http.h"
#include "scheduler/Ad.h"
#include "scheduler/AdvertisementStep.h"

namespace wavecrate {

// What GstDiscoverer finds in a file (`timeout` bounds the look).
TMediaFacts DetectMedia(const std::string& path,
                        std::chrono::milliseconds timeout = std::chrono::seconds(20));

class TAd final : public IAdvertisementStep {
 public:
  struct TOptions {
    TAdLimits Limits;
    // The render fails when no audio leaves the timeline for this long...
    std::chrono::milliseconds RenderStallTimeout{std::chrono::seconds(30)};
    // ...or when it takes longer than the mixed length plus this (a render
    // runs many times faster than real time).
    std::chrono::milliseconds RenderTimeMargin{std::chrono::minutes(5)};
    // The encoder's settings; empty reads the settings file for each mix, as
    // the capture does.
    std::optional<TEncoderSettings> Encoder;
    // The download's user agent.
    std::string Agent = ProgramFileName();
  };

  // `programFolder` without a trailing separator; `http` must outlive this.
  TAd(const std::string& programFolder, IHttpClient& http);
  TAd(const std::string& programFolder, IHttpClient& http, TOptions options);

  // Set by the slot thread before each mix.
  std::string AdUrl;          // may be empty: then nothing happens
  std::string RecordingFile;  // the captured recording
  // Set by the constructor: program folder + "/TempSourceAudio.mp3".
  std::string AdTempFile;

  // Fetches AdUrl into AdTempFile. False, with AdTempFile as it was, when the
  // address is empty (no request is made), the download failed or was cut
  // short, ran over the bounds, or was not a 2xx reply with a body.
  bool DownloadAd();

  // Downloads the clip and renders it in front of RecordingFile. True when
  // the recording itself now begins with the clip.
  bool MixAdWithRecording();

  // IAdvertisementStep: the same for `recordingFile` and `adUrl`.
  bool MixAdWithRecording(const std::string& recordingFile, const std::string& adUrl) override;

  // Ends a download or render in progress soon (from any thread) and makes
  // every later step fail at once: for the program's exit.
  void Cancel() { cancel_.store(true); }

  // Why the last step failed ("" after a good one or an empty address).
  const std::string& LastError() const { return lastError_; }
  // The timeline of the last mix that got as far as measuring both files.
  const TAdTimeline& LastTimeline() const { return timeline_; }

 private:
  bool MixOnEditingThread();
  bool Fail(std::string why);
  bool Render(const TMediaFacts& recording, const std::string& output);

  std::string programFolder_;
  IHttpClient& http_;
  TOptions options_;
  std::atomic<bool> cancel_{false};
  std::string lastError_;
  TAdTimeline timeline_;
};

}  // namespace wavecrate
