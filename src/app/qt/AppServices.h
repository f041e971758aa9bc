// The long-lived parts of a running program that the main window hands
// recordings to: the clock, the capture factory, the advertisement step and
// the MP3 conversion thread. main() builds the real ones; window tests use
// none (then the window hands slots to threads that never start recording).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "audio/CaptureThreadBase.h"
#include "audio/Mp3JobQueue.h"
#include "common/Clock.h"
#include "playback/WebLookups.h"
#include "scheduler/AdvertisementStep.h"

namespace wavecrate {

class TAppServices {
 public:
  virtual ~TAppServices() = default;

  Clock* AppClock = &SystemClock();
  TCaptureFactory CaptureFactory;
  std::shared_ptr<IAdvertisementStep> AdStep = std::make_shared<TNoAdvertisementStep>();
  IMp3JobQueue* Mp3Queue = nullptr;
  std::string ProgramFolder;
  // Players, page browsers and banners. Off for window-only tests, which
  // then get blank stand-ins of the same names and sizes.
  bool WithMedia = false;
  // The vendor's web service ("http://host") and the client that reaches it;
  // with no client every lookup answers as if the host were unreachable.
  std::string VendorBase = DefaultVendorBase();
  std::shared_ptr<IHttpClient> Http;

  // Start-up step: the MP3 conversion thread is created and resumed.
  virtual void StartMp3Thread() {}
  // Exit steps: raise the conversion thread's stop flag; finish captures in
  // progress within a bounded wait so their files get their exact header.
  virtual void StopMp3Thread() {}
  virtual void FinishCapturesAtExit() {}
};

}  // namespace wavecrate
