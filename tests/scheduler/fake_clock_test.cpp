// The fake clock that the scheduler tests (and later the playback timers'
// tests) run on: it must wake sleepers at exactly their virtual times, one
// step at a time, and never let the time run ahead of a thread still busy.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "support/scheduler_fake_clock.h"

namespace wavecrate {
namespace {

using std::chrono::milliseconds;
using test::TFakeClock;

// A thread that wakes on every second boundary and notes the time it saw.
class TSecondWatcher {
 public:
  explicit TSecondWatcher(TFakeClock& clock) : clock_(clock), thread_([this] { Run(); }) {}
  ~TSecondWatcher() {
    stop_.store(true);
    clock_.ReleaseAll();
    thread_.join();
  }
  std::vector<std::int64_t> Seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }

 private:
  void Run() {
    while (!stop_.load()) {
      clock_.SleepUntilNextSecond();
      // Work that takes real time: the clock must wait for it.
      std::this_thread::sleep_for(milliseconds(2));
      std::lock_guard<std::mutex> lock(mutex_);
      seen_.push_back(clock_.NowMs());
    }
  }
  TFakeClock& clock_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::int64_t> seen_;
  std::thread thread_;
};

TEST(FakeClockTest, RunWakesEverySecondBoundaryInTurnAndWaitsForTheWork) {
  const std::int64_t start = TFakeClock::At(2008, 1, 5, 8, 29, 58, 700);
  TFakeClock clock(start);
  clock.SetParticipants(1);
  TSecondWatcher watcher(clock);
  ASSERT_TRUE(clock.RunFor(milliseconds(3300)));
  EXPECT_EQ(clock.NowMs(), start + 3300);
  const std::vector<std::int64_t> expected = {start + 300, start + 1300, start + 2300, start + 3300};
  EXPECT_EQ(watcher.Seen(), expected);
  const TLocalTime now = clock.Now();
  EXPECT_EQ(now.Hour, 8);
  EXPECT_EQ(now.Minute, 30);
  EXPECT_EQ(now.Second, 2);
  EXPECT_EQ(now.DayOfWeek, 6);  // Saturday
}

TEST(FakeClockTest, JumpWakesEachSleeperOnceAtTheNewTime) {
  const std::int64_t start = TFakeClock::At(2008, 1, 5, 8, 0, 0, 250);
  TFakeClock clock(start);
  clock.SetParticipants(1);
  TSecondWatcher watcher(clock);
  ASSERT_TRUE(clock.JumpBy(milliseconds(3600 * 1000)));
  ASSERT_TRUE(clock.JumpBy(milliseconds(500)));  // before the next second: nobody wakes
  const std::vector<std::int64_t> expected = {start + 3600 * 1000};
  EXPECT_EQ(watcher.Seen(), expected);
}

TEST(FakeClockTest, TicksStopTheTimeForTheTestsOwnTimer) {
  TFakeClock clock(TFakeClock::At(2008, 1, 5, 8, 0, 0, 400));
  std::vector<std::int64_t> ticks;
  ASSERT_TRUE(clock.RunFor(
      milliseconds(3000), [&] { ticks.push_back(clock.NowMs() % 1000); }, 1000));
  // Three second boundaries, then the end of the run.
  EXPECT_EQ(ticks, (std::vector<std::int64_t>{0, 0, 0, 400}));
}

}  // namespace
}  // namespace wavecrate
