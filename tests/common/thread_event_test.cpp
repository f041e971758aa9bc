// The thread base and the manual-reset event carry every hand-over between the
// slot threads, the capture threads and the window.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "common/Clock.h"
#include "common/Event.h"
#include "common/StopFlag.h"
#include "common/Thread.h"

namespace wavecrate {
namespace {

class TCountingThread : public TThread {
 public:
  std::atomic<int> Runs{0};
  TEvent Release;

 protected:
  void Execute() override {
    ++Runs;
    Release.WaitFor();
  }
};

TEST(ThreadTest, CreatedSuspendedStartsOnceOnFirstResume) {
  TCountingThread t;
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(t.Started());
  EXPECT_EQ(t.Runs.load(), 0);
  t.Resume();
  t.Resume();  // a second resume must not start a second run
  t.Release.SetEvent();
  t.WaitFor();
  EXPECT_TRUE(t.Finished());
  EXPECT_EQ(t.Runs.load(), 1);
}

TEST(EventTest, ManualResetReleasesEveryWaiterUntilReset) {
  TEvent e;
  EXPECT_FALSE(e.WaitFor(std::chrono::milliseconds(10)));
  std::atomic<int> passed{0};
  std::thread a([&] {
    e.WaitFor();
    ++passed;
  });
  std::thread b([&] {
    e.WaitFor();
    ++passed;
  });
  e.SetEvent();
  a.join();
  b.join();
  EXPECT_EQ(passed.load(), 2);
  EXPECT_TRUE(e.WaitFor(std::chrono::milliseconds(0)));  // stays set
  e.ResetEvent();
  EXPECT_FALSE(e.IsSet());
}

// A thread that sleeps on its own wait (as the capture sleeps on its graph's
// messages) is woken by the stop itself, sees the flag raised when it wakes,
// and is left alone once it has taken its wake-up back.
TEST(StopFlagTest, RaisingWakesTheSleeperWhichSeesTheFlagAndAWithdrawnWakeIsNotCalled) {
  TStopFlag stop;
  TEvent wake;
  std::atomic<int> wakes{0};
  stop.SetWake([&] {
    ++wakes;
    wake.SetEvent();
  });
  stop = false;
  EXPECT_EQ(wakes.load(), 0) << "lowering the flag wakes nobody";
  bool sawStop = false;
  std::thread sleeper([&] {
    while (!stop.load()) {
      if (!wake.WaitFor(std::chrono::seconds(30))) return;  // never woken
    }
    sawStop = true;
  });
  stop = true;
  sleeper.join();
  EXPECT_TRUE(sawStop);
  EXPECT_EQ(wakes.load(), 1);
  stop.SetWake({});
  stop = true;
  EXPECT_EQ(wakes.load(), 1);
}

TEST(ClockTest, CivilConversionRoundTripsAndKnowsWeekdays) {
  // 5 January 2008 was a Saturday; 29 February 2008 existed; 1 March 2100 follows 28 February.
  TLocalTime t{2008, 1, 5, 8, 29, 55, 0, 0};
  const auto s = SecondsFromCivil(t);
  const TLocalTime back = CivilFromSeconds(s);
  EXPECT_EQ(back.Year, 2008);
  EXPECT_EQ(back.Month, 1);
  EXPECT_EQ(back.Day, 5);
  EXPECT_EQ(back.Hour, 8);
  EXPECT_EQ(back.Minute, 29);
  EXPECT_EQ(back.Second, 55);
  EXPECT_EQ(back.DayOfWeek, 6);
  EXPECT_EQ(CivilFromSeconds(SecondsFromCivil({2008, 2, 28, 12, 0, 0, 0, 0}) + 86400).Day, 29);
  const TLocalTime m = CivilFromSeconds(SecondsFromCivil({2100, 2, 28, 0, 0, 0, 0, 0}) + 86400);
  EXPECT_EQ(m.Month, 3);
  EXPECT_EQ(m.Day, 1);
  // 7 December 2026 is a Monday, the 13th a Sunday.
  EXPECT_EQ(CivilFromSeconds(SecondsFromCivil({2026, 12, 7, 0, 0, 0, 0, 0})).DayOfWeek, 1);
  EXPECT_EQ(CivilFromSeconds(SecondsFromCivil({2026, 12, 13, 23, 59, 59, 0, 0})).DayOfWeek, 7);
}

// Each wait starts 300 ms further into the second than the last, so a sleep
// of a flat second (or any fixed length) cannot wake near the start of all
// three; the limit leaves room for a loaded machine's late wake-ups.
TEST(ClockTest, SystemClockWakesJustAfterASecondBoundary) {
  Clock& c = SystemClock();
  for (int i = 0; i < 3; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    c.SleepUntilNextSecond();
    EXPECT_LT(c.Now().Millisecond, 250) << "woke too late after the second's start";
  }
}

}  // namespace
}  // namespace wavecrate
