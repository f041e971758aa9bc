#include "playback/PlaybackLogic.h"

#include <algorithm>

#include "scheduler/DayCode.h"

namespace wavecrate {

namespace {

bool TwoDigits(const std::string& text, std::size_t at, int& value) {
  if (text.size() < at + 2) return false;
  const char a = text[at];
  const char b = text[at + 1];
  if (a < '0' || a > '9' || b < '0' || b > '9') return false;
  value = (a - '0') * 10 + (b - '0');
  return true;
}

bool InMinuteOf(const TLocalTime& now, const std::string& time) {
  int hour = 0;
  int minute = 0;
  return ParseHourMinute(time, hour, minute) && hour == now.Hour && minute == now.Minute;
}

constexpr std::int64_t kMsPerDay = 24LL * 3600 * 1000;

}  // namespace

bool ParseHourMinute(const std::string& time, int& hour, int& minute) {
  return TwoDigits(time, 0, hour) && TwoDigits(time, 3, minute);
}

std::chrono::milliseconds TimeToNextTick(const TLocalTime& now) {
  return std::chrono::milliseconds(1000 - std::clamp(now.Millisecond, 0, 999)) + kTickAfterSecond;
}

std::optional<TNextStart> NextStart(const TLocalTime& now, const std::string& startTime, int dayFlags) {
  int hour = 0;
  int minute = 0;
  if (!ParseHourMinute(startTime, hour, minute) || hour > 23 || minute > 59) return std::nullopt;
  const std::int64_t nowMs =
      ((now.Hour * 60LL + now.Minute) * 60 + now.Second) * 1000 + std::clamp(now.Millisecond, 0, 999);
  const std::int64_t startMs = (hour * 60LL + minute) * 60 * 1000;
  std::int64_t until = startMs - nowMs;
  int weekday = now.DayOfWeek;
  if (until <= 0) {  // today's start has begun or passed: the next one is tomorrow
    until += kMsPerDay;
    weekday = weekday % 7 + 1;
  }
  return TNextStart{std::chrono::milliseconds(until), IsScheduledToday(dayFlags, weekday)};
}

TPlaybackStep DecidePlaybackTick(const TPlaybackTickInput& in) {
  if (!in.HasThread) return TPlaybackStep::None;
  const bool playerBusy = !in.PlayerUrl.empty();
  const bool playsForShow = playerBusy && !in.HeldBack;

  if (playsForShow || in.RecordingActive) {
    const bool endMinute = playerBusy && InMinuteOf(in.Now, in.EndTime);
    const bool endInstant = in.PlannedEndUnix && in.Now.UnixSeconds >= *in.PlannedEndUnix;
    if (endMinute || endInstant) return TPlaybackStep::End;
  }

  const std::optional<TNextStart> next = NextStart(in.Now, in.StartTime, in.DayFlags);
  const bool inLead = next && next->OnScheduledDay && next->Until <= kPreConnectLead;

  if (playerBusy && in.HeldBack) {
    if (!in.SlotActive) return TPlaybackStep::DropEarly;
    if (in.RecordingActive) return TPlaybackStep::MakeAudible;
    // Waiting for the capture: through the lead and the whole start minute
    // (the slot thread may take a moment into it); after that nothing comes.
    if (!inLead && !InMinuteOf(in.Now, in.StartTime)) return TPlaybackStep::DropEarly;
    return TPlaybackStep::None;
  }
  if (!in.SlotActive) return TPlaybackStep::None;
  if (in.RecordingActive) return playerBusy ? TPlaybackStep::None : TPlaybackStep::Start;
  if (!playerBusy && inLead) return TPlaybackStep::PreConnect;
  return TPlaybackStep::None;
}

TMediaRetryBackoff::TMediaRetryBackoff(std::chrono::milliseconds first, std::chrono::milliseconds limit,
                                       std::chrono::milliseconds stableAfter,
                                       std::chrono::milliseconds outageLimit)
    : first_(first),
      limit_(std::max(limit, first)),
      stableAfter_(stableAfter),
      outageLimit_(std::max(outageLimit, first)),
      next_(first) {}

void TMediaRetryBackoff::Reset() {
  next_ = first_;
  playing_ = false;
}

void TMediaRetryBackoff::NotePlaying(TTimePoint now) {
  if (playing_) return;
  playing_ = true;
  playingSince_ = now;
}

std::chrono::milliseconds TMediaRetryBackoff::NextDelay(TTimePoint now, bool streamAway) {
  if (playing_ && now - playingSince_ >= stableAfter_) next_ = first_;
  playing_ = false;
  const std::chrono::milliseconds delay = streamAway ? std::min(next_, outageLimit_) : next_;
  next_ = std::min(next_ * 2, limit_);
  return delay;
}

TMediaErrorAction DecideMediaError(bool hasThread, const std::string& playerUrl, TLinkKind link) {
  // A player without a URL was never started on this slot, or the end step
  // cleared it while the handler waited: nothing is left to retry.
  if (!hasThread || playerUrl.empty()) return TMediaErrorAction::Ignore;
  return link == TLinkKind::Page ? TMediaErrorAction::OpenPage : TMediaErrorAction::Retry;
}

}  // namespace wavecrate
