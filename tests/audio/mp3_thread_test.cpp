// The conversion thread's file handling: which files are replaced, renamed
// and kept after good, failed and abandoned conversions, and its polling.
//
// The real converter is GStreamer (tests/audio/gst/mp3_converter_test.cpp
// checks that a failed conversion leaves no target behind); these core tests,
// which cannot link GStreamer, use a converter that writes a known file or
// fails as told, and leaves something behind when it fails.
#include "audio/MP3Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>

#include "support/TempDir.h"

namespace wavecrate {
namespace {

using namespace std::chrono_literals;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// Counts the thread's sleeps; each one lasts a real millisecond so the loop
// cannot spin.
class TCountingClock final : public Clock {
 public:
  TLocalTime Now() const override { return {}; }
  void SleepUntilNextSecond() override { SleepFor(1000ms); }
  void SleepFor(std::chrono::milliseconds d) override {
    EXPECT_EQ(d, TMP3Thread::kPollInterval);
    ++Sleeps;
    std::this_thread::sleep_for(1ms);
  }
  std::atomic<int> Sleeps{0};
};

// Writes "converted:<source content>" to the target, or fails as told. A
// "hold" source blocks until cancelled, leaving a partial target behind.
class TScriptedConverter final : public IMediaConverter {
 public:
  bool ConvertToMp3(const std::string& source, const std::string& target,
                    const std::atomic<bool>& cancel) override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      Calls.push_back({source, target});
    }
    const std::string content = ReadFile(source);
    if (content == "hold") {
      WriteFile(target, "partial");
      Holding = true;
      while (!cancel.load()) std::this_thread::sleep_for(1ms);
      return false;
    }
    if (content.empty() || content == "not media") {
      WriteFile(target, "garbage");  // a failed conversion may leave something
      return false;
    }
    WriteFile(target, "converted:" + content);
    return true;
  }
  std::mutex mutex;
  std::vector<TMp3Job> Calls;
  std::atomic<bool> Holding{false};
};

bool WaitFor(const std::function<bool()>& ready, std::chrono::milliseconds timeout = 10s) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (ready()) return true;
    std::this_thread::sleep_for(1ms);
  }
  return ready();
}

bool Exists(const std::string& p) {
  return std::filesystem::exists(p);
}

TEST(FinalNameFor, RemovesOnlyATrailingBak) {
  EXPECT_EQ(FinalNameFor("/rec/Show-01-05-2008.mp3.bak"), "/rec/Show-01-05-2008.mp3");
  // A ".bak" elsewhere in the path stays, so the rename stays in its folder.
  EXPECT_EQ(FinalNameFor("/rec.bak/Show.bak.mp3.bak"), "/rec.bak/Show.bak.mp3");
  EXPECT_EQ(FinalNameFor("/rec/Show.mp3"), "/rec/Show.mp3");
  EXPECT_EQ(FinalNameFor("/rec/Show.mp3.BAK"), "/rec/Show.mp3.BAK");  // case-sensitive
  EXPECT_EQ(FinalNameFor("/rec/Show.mp3.bak.bak"), "/rec/Show.mp3.bak");
  EXPECT_EQ(FinalNameFor(".bak"), ".bak");
}

class Mp3ThreadTest : public ::testing::Test {
 protected:
  TempDir dir;
  TCountingClock clock;
  TScriptedConverter converter;
};

TEST_F(Mp3ThreadTest, GoodConversionReplacesTheRecordingAndRemovesTheSource) {
  const std::string source = dir.File("TempOutput.avi"), recording = dir.File("Show.mp3");
  WriteFile(source, "ad+show");
  WriteFile(recording, "raw recording");
  TMP3Thread thread(clock, converter);
  thread.AddJob({source, recording + ".bak"});
  thread.Resume();
  ASSERT_TRUE(WaitFor([&] { return thread.Converted() == 1; }));
  EXPECT_EQ(ReadFile(recording), "converted:ad+show");
  EXPECT_FALSE(Exists(source));
  EXPECT_FALSE(Exists(recording + ".bak"));
  ASSERT_TRUE(WaitFor([&] { return thread.Jobs().empty(); }));
}

TEST_F(Mp3ThreadTest, FailedConversionKeepsTheRecordingAndGoesOnToTheNextJob) {
  const std::string bad = dir.File("bad.avi"), good = dir.File("good.avi");
  const std::string rec1 = dir.File("One.mp3"), rec2 = dir.File("Two.mp3");
  WriteFile(bad, "not media");
  WriteFile(good, "fine");
  WriteFile(rec1, "raw one");
  WriteFile(rec2, "raw two");
  TMP3Thread thread(clock, converter);
  thread.AddJob({bad, rec1 + ".bak"});
  thread.AddJob({dir.File("missing.avi"), rec1 + ".bak"});
  thread.AddJob({good, rec2 + ".bak"});
  thread.Resume();
  ASSERT_TRUE(WaitFor([&] { return thread.Converted() + thread.Failed() == 3; }));
  EXPECT_EQ(thread.Failed(), 2);
  EXPECT_EQ(ReadFile(rec1), "raw one");
  EXPECT_FALSE(Exists(rec1 + ".bak"));  // the failed attempt's leftovers are gone
  EXPECT_TRUE(Exists(bad));             // nothing of a failed job is deleted
  EXPECT_EQ(ReadFile(rec2), "converted:fine");
  EXPECT_FALSE(Exists(good));
}

TEST_F(Mp3ThreadTest, JobsRunOldestFirstEachWithItsOwnTarget) {
  TMP3Thread thread(clock, converter);
  for (int i = 0; i < 3; ++i) {
    WriteFile(dir.File("s" + std::to_string(i)), "content " + std::to_string(i));
    thread.AddJob({dir.File("s" + std::to_string(i)), dir.File("r" + std::to_string(i) + ".mp3.bak")});
  }
  thread.Resume();
  ASSERT_TRUE(WaitFor([&] { return thread.Converted() == 3; }));
  ASSERT_EQ(converter.Calls.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(converter.Calls[static_cast<std::size_t>(i)].Source, dir.File("s" + std::to_string(i)));
    EXPECT_EQ(ReadFile(dir.File("r" + std::to_string(i) + ".mp3")), "converted:content " + std::to_string(i));
  }
}

TEST_F(Mp3ThreadTest, ATargetWithoutBakNeverOverwritesTheRecordingUntilDone) {
  const std::string source = dir.File("in.avi"), recording = dir.File("Show.mp3");
  WriteFile(source, "new");
  WriteFile(recording, "raw");
  TMP3Thread thread(clock, converter);
  thread.AddJob({source, recording});
  thread.Resume();
  ASSERT_TRUE(WaitFor([&] { return thread.Converted() == 1; }));
  // Converted beside it, then moved over it: the result is kept, not deleted.
  EXPECT_EQ(converter.Calls.at(0).Target, recording + ".part");
  EXPECT_EQ(ReadFile(recording), "converted:new");
  EXPECT_FALSE(Exists(recording + ".part"));
}

TEST_F(Mp3ThreadTest, StopAbandonsTheConversionInProgress) {
  const std::string source = dir.File("long.avi"), recording = dir.File("Show.mp3");
  WriteFile(source, "hold");
  WriteFile(recording, "raw");
  auto thread = std::make_unique<TMP3Thread>(clock, converter);
  thread->AddJob({source, recording + ".bak"});
  thread->AddJob({source, dir.File("never.mp3.bak")});
  thread->Resume();
  ASSERT_TRUE(WaitFor([&] { return converter.Holding.load(); }));
  EXPECT_EQ(thread->Jobs().size(), 2u);  // the job in progress is still at the head
  thread->StopRequested = true;
  ASSERT_TRUE(WaitFor([&] { return thread->Finished(); }));
  EXPECT_EQ(ReadFile(recording), "raw");
  EXPECT_FALSE(Exists(recording + ".bak"));
  EXPECT_TRUE(Exists(source));
  EXPECT_EQ(converter.Calls.size(), 1u);  // the second job never started
}

TEST_F(Mp3ThreadTest, PollsOncePerIntervalAndStopsWhenIdle) {
  TMP3Thread thread(clock, converter);
  thread.Resume();
  ASSERT_TRUE(WaitFor([&] { return clock.Sleeps.load() >= 5; }));
  EXPECT_TRUE(converter.Calls.empty());
  thread.StopRequested = true;
  ASSERT_TRUE(WaitFor([&] { return thread.Finished(); }));
  // A job queued while idle is picked up at the next pass.
  TMP3Thread second(clock, converter);
  second.Resume();
  const int before = clock.Sleeps.load();
  ASSERT_TRUE(WaitFor([&] { return clock.Sleeps.load() > before + 2; }));
  WriteFile(dir.File("late.avi"), "late");
  second.AddJob({dir.File("late.avi"), dir.File("late.mp3.bak")});
  ASSERT_TRUE(WaitFor([&] { return second.Converted() == 1; }));
  EXPECT_EQ(ReadFile(dir.File("late.mp3")), "converted:late");
}

TEST_F(Mp3ThreadTest, ManyProducersLoseNoJob) {
  TMP3Thread thread(clock, converter);
  std::vector<std::thread> producers;
  for (int p = 0; p < 4; ++p)
    producers.emplace_back([&, p] {
      for (int i = 0; i < 25; ++i) {
        const std::string name = "p" + std::to_string(p) + "_" + std::to_string(i);
        WriteFile(dir.File(name), name);
        thread.AddJob({dir.File(name), dir.File(name + ".mp3.bak")});
      }
    });
  thread.Resume();
  for (auto& t : producers) t.join();
  ASSERT_TRUE(WaitFor([&] { return thread.Converted() == 100; }, 30s));
  EXPECT_EQ(thread.Failed(), 0);
  EXPECT_EQ(ReadFile(dir.File("p3_24.mp3")), "converted:p3_24");
}

}  // namespace
}  // namespace wavecrate
