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

}  // namespace

bool ParseHourMinute(const std::string& time, int& hour, int& minute) {
  return TwoDigits(time, 0, hour) && TwoDigits(time, 3, minute);
}

TPlaybackTickActions DecidePlaybackTick(const TPlaybackTickInput& input) {
  TPlaybackTickActions actions;
  int endHour = 0;
  int endMinute = 0;
  if (input.HasThread && ParseHourMinute(input.EndTime, endHour, endMinute) && endHour == input.Now.Hour &&
      endMinute == input.Now.Minute && !input.PlayerUrl.empty() &&
      (input.RecordingActive || IsScheduledToday(input.DayFlags, input.Now.DayOfWeek))) {
    actions.End = true;
    return actions;  // RecordingActive is now false: the start check cannot pass
  }
  actions.Start = input.HasThread && input.SlotActive && input.RecordingActive && input.PlayerUrl.empty();
  return actions;
}

TMediaRetryBackoff::TMediaRetryBackoff(std::chrono::milliseconds first, std::chrono::milliseconds limit,
                                       std::chrono::milliseconds stableAfter)
    : first_(first), limit_(std::max(limit, first)), stableAfter_(stableAfter), next_(first) {}

void TMediaRetryBackoff::Reset() {
  next_ = first_;
  playing_ = false;
}

void TMediaRetryBackoff::NotePlaying(TTimePoint now) {
  if (playing_) return;
  playing_ = true;
  playingSince_ = now;
}

std::chrono::milliseconds TMediaRetryBackoff::NextDelay(TTimePoint now) {
  if (playing_ && now - playingSince_ >= stableAfter_) next_ = first_;
  playing_ = false;
  const std::chrono::milliseconds delay = next_;
  next_ = std::min(next_ * 2, limit_);
  return delay;
}

TMediaErrorAction DecideMediaError(bool hasThread, const std::string& playerUrl,
                                   const std::function<bool()>& isMediaLink) {
  // A player without a URL was never started on this slot, or the end step
  // cleared it while the handler waited: nothing is left to retry.
  if (!hasThread || playerUrl.empty()) return TMediaErrorAction::Ignore;
  return isMediaLink() ? TMediaErrorAction::Retry : TMediaErrorAction::OpenPage;
}

}  // namespace wavecrate
