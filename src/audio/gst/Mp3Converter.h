// The conversion graph of the MP3 thread:
//   read-ahead file source "Source" ! parsebin [! decodebin for compressed audio]
//   ! MP3 encoder "MP3" ! WAV writer "WavMux" ! filesink "FileWriter"
// Any file GStreamer can read and that holds audio is decoded; its first
// audio stream is encoded with the encoder's current settings into a RIFF
// WAVE file holding MP3. Other streams are discarded.
//
// Bounded: a source that is not a regular file, not media or holds no audio
// fails at once; a conversion whose output stops growing for StallTimeout,
// or that runs longer than MaxDuration, fails too. A failed or cancelled
// conversion removes its partial target.
#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <string>

#include "audio/EncoderSettings.h"
#include "audio/MP3Thread.h"

namespace wavecrate {

class TGstMp3Converter final : public IMediaConverter {
 public:
  struct TOptions {
    std::chrono::milliseconds StallTimeout{std::chrono::seconds(30)};
    std::chrono::milliseconds MaxDuration{std::chrono::hours(12)};
    // Settings for every conversion; when empty the encoder's settings file
    // is read for each one.
    std::optional<TEncoderSettings> Encoder;
  };

  TGstMp3Converter();
  explicit TGstMp3Converter(TOptions options);

  bool ConvertToMp3(const std::string& source, const std::string& target,
                    const std::atomic<bool>& cancel) override;
  using IMediaConverter::ConvertToMp3;
  // Without a cancel flag.
  bool ConvertToMp3(const std::string& source, const std::string& target);

  // Why the last conversion failed ("" after a good one). Read it on the
  // thread that converts.
  const std::string& LastError() const { return lastError_; }

 private:
  bool Fail(const std::string& target, std::string why);

  TOptions options_;
  std::string lastError_;
};

}  // namespace wavecrate
