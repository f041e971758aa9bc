// The real long-lived parts of a running program on Linux: the program's own
// stereo mix on the sound server, GStreamer with our WAV writer registered,
// the capture factory and the MP3 conversion thread.
#pragma once

#include <memory>
#include <string>

#include "app/qt/AppServices.h"

namespace wavecrate {

class TStereoMix;
class TGstMp3Converter;
class TMP3Thread;

class TLinuxAppServices final : public TAppServices {
 public:
  // Loads the stereo mix and points this process's playback at it, so it must
  // run before any player or web view exists.
  explicit TLinuxAppServices(std::string programFolder);
  ~TLinuxAppServices() override;

  void StartMp3Thread() override;
  void StopMp3Thread() override;
  void FinishCapturesAtExit() override;
  bool WriteCaptureHeadersNow(std::chrono::milliseconds bound) override;

  TStereoMix& StereoMix() { return *mix_; }

 private:
  std::shared_ptr<TStereoMix> mix_;
  std::unique_ptr<TGstMp3Converter> converter_;
  std::unique_ptr<TMP3Thread> mp3Thread_;
};

}  // namespace wavecrate
