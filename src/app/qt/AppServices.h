// The long-lived parts of a running program that the main window hands
// recordings to: the clock, the capture factory and the advertisement step.
// main() builds the real ones; window tests use none (then the window hands
// slots to threads that never start recording).
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "audio/CaptureThreadBase.h"
#include "common/Clock.h"
#include "playback/WebLookups.h"
#include "scheduler/AdvertisementStep.h"
#include "scheduler/RecordingEvents.h"

namespace wavecrate {

class TAppServices {
 public:
  virtual ~TAppServices() = default;

  Clock* AppClock = &SystemClock();
  TCaptureFactory CaptureFactory;
  // The step every slot thread gets unless NewAdStep makes one of its own.
  std::shared_ptr<IAdvertisementStep> AdStep = std::make_shared<TNoAdvertisementStep>();
  std::string ProgramFolder;
  // Players, page browsers and banners. Off for window-only tests, which
  // then get no player and no web view.
  bool WithMedia = false;
  // The vendor's web service ("http://host") and the client that reaches it;
  // with no client every lookup answers as if the host were unreachable.
  std::string VendorBase = DefaultVendorBase();
  std::shared_ptr<IHttpClient> Http;
  // The sink slot n's stream player plays into: the slot's own mix when the
  // sound server gives it one, "" for the program's shared mix (PULSE_SINK).
  // Unset: every slot plays into the shared mix.
  std::function<std::string(int slot)> SlotSinkFor;
  // Whether a sink that SlotSinkFor named plays to the speakers at the
  // players' volume by itself (a slot's own mix): the player then sends the
  // stream in at its own level, which is what gets recorded. Unset: none.
  std::function<bool(const std::string& sink)> SinkCarriesPlayerVolume;
  // Slot n's link now plays in its page browser, whose sound can only reach
  // the shared mix (true), or in its player again (false): its recording
  // follows it there.
  std::function<void(int slot, bool sharedMix)> SlotUsesSharedMix;
  // Told about every recording (tray, notifications, history); may be null.
  std::shared_ptr<IRecordingEvents> Events;

  // The advertisement step of one new slot thread, owned by the services and
  // kept until they end (so it outlives the thread).
  virtual IAdvertisementStep& NewAdStep() { return *AdStep; }

  // Exit step: abandon an advertisement mix in progress (its raw recording
  // stays as it was), and finish captures in progress within a bounded wait
  // so their files get their exact header.
  virtual void FinishCapturesAtExit() {}
  // Before the computer sleeps: every recording in progress writes its exact
  // header now and goes on recording after the wake. False when one did not
  // within the bound.
  virtual bool WriteCaptureHeadersNow(std::chrono::milliseconds /*bound*/) { return true; }
};

}  // namespace wavecrate
