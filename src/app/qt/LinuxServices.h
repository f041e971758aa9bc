// The real long-lived parts of a running program on Linux: the program's own
// stereo mix on the sound server, GStreamer with our WAV writer registered,
// the capture factory and the advertisement steps.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/qt/AppServices.h"

namespace wavecrate {

class TStereoMix;
class TAd;

class TLinuxAppServices final : public TAppServices {
 public:
  // Loads the stereo mix and points this process's playback at it, so it must
  // run before any player or web view exists.
  explicit TLinuxAppServices(std::string programFolder);
  ~TLinuxAppServices() override;

  // A TAd of its own for each slot thread, mixing in place (see AdMixer.h).
  IAdvertisementStep& NewAdStep() override;

  void FinishCapturesAtExit() override;
  bool WriteCaptureHeadersNow(std::chrono::milliseconds bound) override;

  TStereoMix& StereoMix() { return *mix_; }

 private:
  std::shared_ptr<TStereoMix> mix_;
  std::mutex adMutex_;
  // Guarded by adMutex_; freed with the services, after the window whose slot
  // threads use them.
  std::vector<std::unique_ptr<TAd>> ads_;
};

}  // namespace wavecrate
