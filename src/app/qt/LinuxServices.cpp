#include "app/qt/LinuxServices.h"

#include <cstdio>

#include "audio/gst/AudioCaptureThread.h"
#include "audio/gst/GraphServices.h"
#include "audio/gst/WavDestFilter.h"
#include "audio/pulse/StereoMix.h"
#include "common/curl/CurlHttpClient.h"
#include "scheduler/gst/AdMixer.h"

namespace wavecrate {

namespace {
// How long the exit waits for recordings in progress to get their exact
// header.
constexpr std::chrono::milliseconds kExitCaptureBound{5000};
}  // namespace

TLinuxAppServices::TLinuxAppServices(std::string programFolder) {
  ProgramFolder = std::move(programFolder);
  EnsureGstInitialized();
  if (!RegisterWavDestFilter()) std::fprintf(stderr, "wavecrate: the WAV writer could not be registered\n");
  mix_ = std::make_shared<TStereoMix>();
  mix_->Start();
  if (!mix_->Connected()) {
    std::fprintf(stderr, "wavecrate: no sound server answers; recordings will fail until one does\n");
  } else if (!mix_->MixLoaded()) {
    std::fprintf(stderr, "wavecrate: recording the default output instead of our own mix: %s\n",
                 mix_->FallbackReason().c_str());
  }
  CaptureFactory = MakeAudioCaptureFactory(mix_);
  // A slot's player plays into the slot's own mix (loaded on first use), so
  // overlapping shows are recorded apart; "" = the shared mix.
  std::weak_ptr<TStereoMix> mix = mix_;
  SlotSinkFor = [mix](int slot) -> std::string {
    auto m = mix.lock();
    return m ? m->SlotSink(slot) : std::string();
  };
  SinkCarriesPlayerVolume = [mix](const std::string& sink) {
    auto m = mix.lock();
    return m && m->SinkCarriesPlayerVolume(sink);
  };
  SlotUsesSharedMix = [mix](int slot, bool sharedMix) {
    if (auto m = mix.lock()) m->SetSlotUsesSharedMix(slot, sharedMix);
  };
  WithMedia = true;
  Http = std::make_shared<TCurlHttpClient>();
}

TLinuxAppServices::~TLinuxAppServices() {
  if (mix_) mix_->Stop();
}

IAdvertisementStep& TLinuxAppServices::NewAdStep() {
  std::lock_guard<std::mutex> lock(adMutex_);
  ads_.push_back(std::make_unique<TAd>(ProgramFolder, *Http));
  return *ads_.back();
}

bool TLinuxAppServices::WriteCaptureHeadersNow(std::chrono::milliseconds bound) {
  const bool all = WriteAllCaptureHeadersNow(bound);
  if (!all) {
    std::fprintf(stderr, "wavecrate: a recording did not write its header within %lld ms before sleep\n",
                 static_cast<long long>(bound.count()));
  }
  return all;
}

void TLinuxAppServices::FinishCapturesAtExit() {
  {
    // A mix in progress is abandoned, so the slot threads can end; their raw
    // recordings stay as they were.
    std::lock_guard<std::mutex> lock(adMutex_);
    for (const auto& ad : ads_) ad->Cancel();
  }
  if (!StopAllCapturesAndWait(kExitCaptureBound)) {
    std::fprintf(stderr, "wavecrate: a recording did not finish its file within %lld ms at exit\n",
                 static_cast<long long>(kExitCaptureBound.count()));
  }
}

}  // namespace wavecrate
