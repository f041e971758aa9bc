#include "support/scheduler_fake_clock.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>

namespace wavecrate::test {

std::int64_t TFakeClock::At(int year, int month, int day, int hour, int minute, int second, int millisecond) {
  TLocalTime t;
  t.Year = year;
  t.Month = month;
  t.Day = day;
  t.Hour = hour;
  t.Minute = minute;
  t.Second = second;
  t.Millisecond = millisecond;
  return MsOf(t);
}

std::int64_t TFakeClock::MsOf(const TLocalTime& t) {
  return InstantsOfLocalTime(t).First * 1000 + t.Millisecond;
}

TFakeClock::TFakeClock(std::int64_t startMs) : nowMs_(startMs) {}

TFakeClock::~TFakeClock() {
  ReleaseAll();
}

TLocalTime TFakeClock::Now() const {
  const std::int64_t ms = NowMs();
  return LocalTimeOf(ms / 1000, static_cast<int>(ms % 1000));
}

void TFakeClock::SleepUntilNextSecond() {
  std::unique_lock<std::mutex> lock(mutex_);
  SleepLocked(lock, (nowMs_ / 1000 + 1) * 1000);
}

void TFakeClock::SleepFor(std::chrono::milliseconds duration) {
  std::unique_lock<std::mutex> lock(mutex_);
  SleepLocked(lock, nowMs_ + duration.count());
}

void TFakeClock::SleepLocked(std::unique_lock<std::mutex>& lock, std::int64_t wakeMs) {
  if (released_ || wakeMs <= nowMs_) return;
  TSleeper self;
  self.WakeMs = wakeMs;
  sleepers_.push_back(&self);
  idleCv_.notify_all();
  // The waker takes `self` off the list and notifies under the lock, so
  // `self` outlives every use the waker makes of it.
  self.Cv.wait(lock, [&self] { return self.Woken; });
}

std::int64_t TFakeClock::NowMs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return nowMs_;
}

int TFakeClock::Sleepers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(sleepers_.size());
}

void TFakeClock::SetParticipants(int count) {
  std::lock_guard<std::mutex> lock(mutex_);
  participants_ = count;
  idleCv_.notify_all();  // a thread that leaves may be what makes the system idle
}

void TFakeClock::AddParticipants(int delta) {
  std::lock_guard<std::mutex> lock(mutex_);
  participants_ += delta;
  idleCv_.notify_all();
}

void TFakeClock::AddCompanions(int delta) {
  std::lock_guard<std::mutex> lock(mutex_);
  companions_ += delta;
  idleCv_.notify_all();
}

bool TFakeClock::WaitUntilIdle(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return idleCv_.wait_for(lock, timeout, [this] { return released_ || IdleLocked(TIdle::Exactly); });
}

bool TFakeClock::IdleLocked(TIdle idle) const {
  const int asleep = static_cast<int>(sleepers_.size());
  const int expected = participants_ + companions_;
  return idle == TIdle::Exactly ? asleep == expected : asleep >= expected;
}

bool TFakeClock::WaitUntilIdleLocked(std::unique_lock<std::mutex>& lock, TIdle idle) {
  return idleCv_.wait_for(lock, kDefaultSettleTimeout,
                          [this, idle] { return released_ || IdleLocked(idle); });
}

void TFakeClock::AdvanceLocked(std::int64_t toMs) {
  nowMs_ = std::max(nowMs_, toMs);
  auto due = [this](TSleeper* s) { return s->WakeMs <= nowMs_; };
  for (TSleeper* s : sleepers_) {
    if (due(s)) {
      s->Woken = true;
      s->Cv.notify_one();
    }
  }
  std::erase_if(sleepers_, due);
}

bool TFakeClock::RunUntil(std::int64_t endMs, const std::function<void()>& afterStep, std::int64_t tickMs) {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (!WaitUntilIdleLocked(lock, TIdle::AtLeast)) return false;
      std::int64_t next = endMs;
      for (const TSleeper* s : sleepers_) next = std::min(next, s->WakeMs);
      if (tickMs > 0) next = std::min(next, (nowMs_ / tickMs + 1) * tickMs);
      const bool last = next >= endMs;
      AdvanceLocked(std::min(next, endMs));
      if (!WaitUntilIdleLocked(lock, TIdle::Exactly)) return false;
      if (last) {
        lock.unlock();
        if (afterStep) afterStep();
        return true;
      }
    }
    if (afterStep) afterStep();
  }
}

bool TFakeClock::RunFor(std::chrono::milliseconds duration, const std::function<void()>& afterStep,
                        std::int64_t tickMs) {
  return RunUntil(NowMs() + duration.count(), afterStep, tickMs);
}

bool TFakeClock::JumpBy(std::chrono::milliseconds duration, const std::function<void()>& afterStep) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!WaitUntilIdleLocked(lock, TIdle::AtLeast)) return false;
    AdvanceLocked(nowMs_ + duration.count());
    if (!WaitUntilIdleLocked(lock, TIdle::Exactly)) return false;
  }
  if (afterStep) afterStep();
  return true;
}

void TFakeClock::ReleaseAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  released_ = true;
  for (TSleeper* s : sleepers_) {
    s->Woken = true;
    s->Cv.notify_one();
  }
  sleepers_.clear();
  idleCv_.notify_all();
}

TScopedTimeZone::TScopedTimeZone(const std::string& zone) {
  if (const char* old = std::getenv("TZ")) old_ = old;
  setenv("TZ", zone.c_str(), 1);
  tzset();
}

TScopedTimeZone::~TScopedTimeZone() {
  if (old_) {
    setenv("TZ", old_->c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

}  // namespace wavecrate::test
