// A clock for tests whose time moves only when the test moves it, so that
// weeks of schedule run in milliseconds and every run sees the same order of
// events.
//
// It holds an instant (milliseconds since 1970, UTC) and gives local time
// through the process's real time-zone rules, so a test that sets TZ
// (TScopedTimeZone) sees that zone's daylight-saving changes: the local
// hour skipped in spring, the hour repeated in autumn.
//
// Threads under test sleep in it (SleepUntilNextSecond, SleepFor) and block
// until the virtual time reaches their wake-up time. The test drives the time
// with RunFor/RunUntil (every wake-up in turn) or JumpBy (straight to a later
// time, as after a suspended machine). Each step waits, in real time and
// bounded, until the system is idle again: exactly the expected number of
// threads are asleep in the clock. The test says how many threads take part
// (SetParticipants), and lowers the count before a step that should end a
// thread. For slot threads that is one per slot thread. While a slot thread
// records, it sleeps in the clock until the show's end, and so does its
// capture (a test double), which polls its stop flag through the same clock
// and counts itself in and out (AddCompanions).
//
// Use:
//   TFakeClock clock(TFakeClock::At(2008, 1, 5, 8, 29, 55));
//   clock.SetParticipants(1);
//   thread.Resume();
//   ASSERT_TRUE(clock.RunFor(std::chrono::minutes(2)));
//   ...
//   thread.StopRequested = true;
//   clock.ReleaseAll();  // before the threads are destroyed
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/Clock.h"

namespace wavecrate::test {

class TFakeClock final : public Clock {
 public:
  static constexpr std::chrono::milliseconds kDefaultSettleTimeout{20000};

  // The instant (milliseconds since 1970, UTC) at which the local clock
  // shows `t` (the first of two in a repeated hour; the jump over it in a
  // skipped hour).
  static std::int64_t MsOf(const TLocalTime& t);
  static std::int64_t At(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                         int millisecond = 0);

  explicit TFakeClock(std::int64_t startMs);
  // Releases every sleeper.
  ~TFakeClock() override;
  TFakeClock(const TFakeClock&) = delete;
  TFakeClock& operator=(const TFakeClock&) = delete;

  // Clock.
  TLocalTime Now() const override;
  // Wakes exactly on the next whole second of virtual time.
  void SleepUntilNextSecond() override;
  void SleepFor(std::chrono::milliseconds duration) override;

  std::int64_t NowMs() const;
  int Sleepers() const;

  // How many threads are asleep in the clock whenever the system is idle.
  void SetParticipants(int count);
  void AddParticipants(int delta);
  // For a thread that sleeps in the clock only while a participant waits for
  // it (a capture beside its slot thread): it counts itself in and out, and
  // the test's own count above leaves it be.
  void AddCompanions(int delta);

  // Waits (real time) until idle; false when the threads did not settle.
  bool WaitUntilIdle(std::chrono::milliseconds timeout = kDefaultSettleTimeout);

  // Steps through every wake-up up to `endMs`: each step moves the time to the
  // earliest wake-up, wakes the threads due then and waits until idle, then
  // calls `afterStep` (if given) on the calling thread. The time ends at
  // `endMs`. With `tickMs` > 0 the time also stops at every multiple of
  // `tickMs` (a timer of that period on the test's thread, such as a GUI
  // timer, runs in `afterStep` then). False (and the time stops) when the
  // threads did not settle.
  bool RunUntil(std::int64_t endMs, const std::function<void()>& afterStep = {}, std::int64_t tickMs = 0);
  bool RunFor(std::chrono::milliseconds duration, const std::function<void()>& afterStep = {},
              std::int64_t tickMs = 0);

  // Moves the time straight on by `duration`: every thread due by then wakes
  // once, at the new time; then waits until idle and calls `afterStep`.
  bool JumpBy(std::chrono::milliseconds duration, const std::function<void()>& afterStep = {});

  // Every sleep, present and future, returns at once. For tear-down: threads
  // that were asked to stop then leave their loops and can be joined.
  void ReleaseAll();

 private:
  struct TSleeper {
    std::int64_t WakeMs = 0;
    bool Woken = false;
    std::condition_variable Cv;
  };

  // `wakeMs` is computed from the time under the same lock.
  void SleepLocked(std::unique_lock<std::mutex>& lock, std::int64_t wakeMs);
  // Before a step, more sleepers than participants are allowed: a thread that
  // the test expects to end still sleeps until the step wakes it.
  enum class TIdle { Exactly, AtLeast };
  bool IdleLocked(TIdle idle) const;
  bool WaitUntilIdleLocked(std::unique_lock<std::mutex>& lock, TIdle idle);
  // Sets the time and wakes every sleeper due by then.
  void AdvanceLocked(std::int64_t toMs);

  mutable std::mutex mutex_;
  std::condition_variable idleCv_;
  std::int64_t nowMs_;
  std::vector<TSleeper*> sleepers_;
  int participants_ = 0;
  int companions_ = 0;
  bool released_ = false;
};

// Sets TZ for the life of the object (and tzset()s), then puts back what was
// there. Set it before the threads under test start.
class TScopedTimeZone {
 public:
  explicit TScopedTimeZone(const std::string& zone);
  ~TScopedTimeZone();
  TScopedTimeZone(const TScopedTimeZone&) = delete;
  TScopedTimeZone& operator=(const TScopedTimeZone&) = delete;

 private:
  std::optional<std::string> old_;
};

}  // namespace wavecrate::test
