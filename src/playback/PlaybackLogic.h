// What a slot's playback timer and its media error handler decide, apart
// from the controls they act on. The window's tick handler (Timer1Timer ...
// Timer4Timer) gathers a TPlaybackTickInput, asks DecidePlaybackTick, and
// carries out the actions in the order they are listed; the MediaError
// handlers wait TMediaRetryBackoff's delay, then ask DecideMediaError.
//
// The window enables the four timers at start-up when the settings file was
// loaded and also after every successful Save changes, so that a slot saved
// on the very first run (no settings file yet) plays and ends too.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "common/Clock.h"

namespace wavecrate {

// One tick's view of one slot, read afresh on every tick.
struct TPlaybackTickInput {
  TLocalTime Now;                // from the window's Clock
  bool HasThread = false;        // the slot has a recorder thread
  bool SlotActive = false;       // SlotActive[slot]
  bool RecordingActive = false;  // the thread's RecordingActive
  std::string EndTime;           // the thread's EndTime, "hh:nn:ss"
  int DayFlags = 0;              // the thread's DayFlags
  std::string PlayerUrl;         // the player's URL ("" when idle)
};

// What the tick does, in this order. The end step comes first, and when it
// runs the start step does not (the end clears RecordingActive).
struct TPlaybackTickActions {
  // End step: StopRecording(); controls.stop(); URL := ""; RecordingActive
  // := false; page browser to "about:blank".
  bool End = false;
  // Start step: URL := StreamUrl; controls.play(); WebBrowser to
  // GetBannerUrl("banner1"); WebBrowser1 to GetBannerUrl("banner2").
  bool Start = false;
};

// The page a slot's page browser is sent to at the end step.
inline constexpr const char* kBlankPage = "about:blank";

// The hour and minute of a "hh:nn:ss" text (characters 1-2 and 4-5); false
// when they are not two-digit numbers.
bool ParseHourMinute(const std::string& time, int& hour, int& minute);

// End check: the slot has a thread, the local hour and minute equal those of
// EndTime, the player holds a URL, and either the day passes the day test or
// a recording is in progress (a recording that runs past midnight into a day
// outside its days still ends at its end minute). Start check: SlotActive,
// RecordingActive, and an idle player.
TPlaybackTickActions DecidePlaybackTick(const TPlaybackTickInput& input);

// The wait before a slot acts on a MediaError. The handlers used to act at
// once, so a link that fails at once kept the window busy with one content
// request and one restart after another. The first wait is a second; each
// further failure doubles it up to the limit. A stream that played steadily
// for stableAfter before it failed starts again from the first wait, and so
// does every new start of the slot (Reset).
class TMediaRetryBackoff {
 public:
  using TTimePoint = std::chrono::steady_clock::time_point;

  explicit TMediaRetryBackoff(std::chrono::milliseconds first = std::chrono::seconds(1),
                              std::chrono::milliseconds limit = std::chrono::seconds(30),
                              std::chrono::milliseconds stableAfter = std::chrono::seconds(60));

  // A new start of the slot's stream.
  void Reset();
  // The player reported that it plays (from its StatusChange).
  void NotePlaying(TTimePoint now);
  // A MediaError arrived: how long to wait before acting on it.
  std::chrono::milliseconds NextDelay(TTimePoint now);

 private:
  std::chrono::milliseconds first_;
  std::chrono::milliseconds limit_;
  std::chrono::milliseconds stableAfter_;
  std::chrono::milliseconds next_;
  bool playing_ = false;
  TTimePoint playingSince_{};
};

enum class TMediaErrorAction {
  Ignore,    // no thread, or the player was stopped meanwhile (end minute)
  Retry,     // URL := StreamUrl (again); controls.play()
  OpenPage,  // page browser navigates to StreamUrl; the player keeps its URL
};

// Decides, after the wait, what a MediaError comes to. isMediaLink (the
// content-type request on the slot's StreamUrl) is only asked when the
// error is still to be acted on.
TMediaErrorAction DecideMediaError(bool hasThread, const std::string& playerUrl,
                                   const std::function<bool()>& isMediaLink);

}  // namespace wavecrate
