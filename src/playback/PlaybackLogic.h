// What a slot's playback timer and its media error handler decide, apart
// from the controls they act on. The window's tick handler (Timer1Timer ...
// Timer4Timer) gathers a TPlaybackTickInput, asks DecidePlaybackTick, and
// carries out the one step it names; the MediaError handlers wait
// TMediaRetryBackoff's delay, then ask DecideMediaError.
//
// The window enables the four timers at start-up when the settings file was
// loaded and also after every successful Save changes, so that a slot saved
// on the very first run (no settings file yet) plays and ends too. The timers
// tick a few milliseconds after each whole second of the clock, as the slot
// threads look at it, so a start or end minute is seen within milliseconds.
//
// Connect early, record on the minute: a switched-on slot whose start minute
// is a few seconds away on a scheduled day opens its stream with the sound
// held back (player at volume 0, a page browser muted), so that when the
// capture starts the stream is already flowing and is made audible at once;
// the file then holds the show from its first second, and a show that is
// still being recorded never hears the next one's early connection.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "common/Clock.h"
#include "playback/WebLookups.h"

namespace wavecrate {

// How long before its start minute a slot's stream is opened.
inline constexpr std::chrono::milliseconds kPreConnectLead{10000};
// How long before its start minute a slot's own mix is made ready (off the
// window's thread: loading it on the sound server can take a while), so the
// early connection finds it there.
inline constexpr std::chrono::milliseconds kPrepareMixLead{40000};

// One tick's view of one slot, read afresh on every tick.
struct TPlaybackTickInput {
  TLocalTime Now;                // from the window's Clock
  bool HasThread = false;        // the slot has a recorder thread
  bool SlotActive = false;       // SlotActive[slot]
  bool RecordingActive = false;  // the thread's RecordingActive
  std::string StartTime;         // the thread's StartTime, "hh:nn:ss"
  std::string EndTime;           // the thread's EndTime, "hh:nn:ss"
  int DayFlags = 0;              // the thread's DayFlags
  std::string PlayerUrl;         // the player's URL ("" when idle)
  // The player holds an early connection whose sound is still held back.
  bool HeldBack = false;
  // When the show the player plays for ends (UTC seconds): the recording's
  // PlannedEndUnix, remembered by the window for as long as the player plays
  // for that show; nullopt when not known.
  std::optional<std::int64_t> PlannedEndUnix;
};

// The one step a tick takes.
enum class TPlaybackStep {
  None,
  // StopRecording(); controls.stop(); URL := ""; RecordingActive := false;
  // page browser to "about:blank" (and back to the slot's own mix).
  End,
  // An early connection whose recording did not begin (the slot was switched
  // off, or its start minute passed without a capture): stop and close it,
  // page browser to "about:blank". The recording, if any, is not touched.
  DropEarly,
  // URL := StreamUrl; controls.play(); both banners reloaded.
  Start,
  // The early connection becomes audible: the player's volume back, the page
  // browser unmuted; both banners reloaded.
  MakeAudible,
  // URL := StreamUrl with the sound held back; controls.play().
  PreConnect,
};

// The wait from `now` to the playback timers' next tick: a few milliseconds
// after the clock's next whole second (the slot threads wake on the second).
inline constexpr std::chrono::milliseconds kTickAfterSecond{5};
std::chrono::milliseconds TimeToNextTick(const TLocalTime& now);

// The hour and minute of a "hh:nn:ss" text (characters 1-2 and 4-5); false
// when they are not two-digit numbers.
bool ParseHourMinute(const std::string& time, int& hour, int& minute);

// How long until the next start minute of `startTime` begins, and whether
// that minute falls on a day of `dayFlags` (the day of the start itself, so a
// midnight start is judged by tomorrow's weekday). nullopt for an unreadable
// start time.
struct TNextStart {
  std::chrono::milliseconds Until{0};
  bool OnScheduledDay = false;
};
std::optional<TNextStart> NextStart(const TLocalTime& now, const std::string& startTime, int dayFlags);

// The step, tried in this order:
// - End: the player plays for a show (it holds a URL and is not a held-back
//   early connection), or a recording runs, and either the local hour and
//   minute equal those of EndTime (player holding a URL), or the instant
//   PlannedEndUnix has come. The day is not tested: a player only ever plays
//   for a show, so the first end minute after its start is that show's end,
//   also when it falls on a day outside the slot's days (past midnight) or
//   the capture failed and the recording is no longer active.
// - DropEarly: a held-back player whose slot is switched off, or whose
//   recording has not begun although neither the pre-connect lead nor the
//   start minute is running any more.
// - Start: SlotActive, RecordingActive, an idle player.
// - MakeAudible: SlotActive, RecordingActive, a held-back player.
// - PreConnect: SlotActive, no recording, an idle player, and the next start
//   minute on a scheduled day at most kPreConnectLead away.
TPlaybackStep DecidePlaybackTick(const TPlaybackTickInput& input);

// The wait before a slot acts on a MediaError. The handlers used to act at
// once, so a link that fails at once kept the window busy with one content
// request and one restart after another. The first wait is a second; each
// further failure doubles it up to the limit. A stream that played steadily
// for stableAfter before it failed starts again from the first wait, and so
// does every new start of the slot (Reset). A link that has played in this
// show, or that answered nothing or an error status when last asked, is a
// stream that is away, not a wrong link: it is tried again at least every
// outageLimit, so the show is recorded soon after the stream is (back) up.
class TMediaRetryBackoff {
 public:
  using TTimePoint = std::chrono::steady_clock::time_point;

  explicit TMediaRetryBackoff(std::chrono::milliseconds first = std::chrono::seconds(1),
                              std::chrono::milliseconds limit = std::chrono::seconds(30),
                              std::chrono::milliseconds stableAfter = std::chrono::seconds(60),
                              std::chrono::milliseconds outageLimit = std::chrono::seconds(2));

  // A new start of the slot's stream.
  void Reset();
  // The player reported that it plays (from its StatusChange).
  void NotePlaying(TTimePoint now);
  // A MediaError arrived: how long to wait before acting on it.
  // `streamAway`: the link played in this show, or was last judged Unknown.
  std::chrono::milliseconds NextDelay(TTimePoint now, bool streamAway = false);

 private:
  std::chrono::milliseconds first_;
  std::chrono::milliseconds limit_;
  std::chrono::milliseconds stableAfter_;
  std::chrono::milliseconds outageLimit_;
  std::chrono::milliseconds next_;
  bool playing_ = false;
  TTimePoint playingSince_{};
};

enum class TMediaErrorAction {
  Ignore,    // no thread, or the player was stopped meanwhile (end minute)
  Retry,     // URL := StreamUrl (again); controls.play()
  OpenPage,  // page browser navigates to StreamUrl; the player keeps its URL
};

// Decides, after the wait, what a MediaError comes to, from what the link
// turned out to be (JudgeLink on the slot's StreamUrl). Only a page goes to
// the page browser: a link that answers nothing or an error status may be a
// stream that is not up yet (stations restart their encoders on the hour,
// when shows begin), so it stays on the player and is tried again. A link
// that has played as media in this show is retried without being judged:
// during an outage the server answers 404 or nothing, which says nothing
// about what the link is; pass TLinkKind::Media for it.
TMediaErrorAction DecideMediaError(bool hasThread, const std::string& playerUrl, TLinkKind link);

}  // namespace wavecrate
