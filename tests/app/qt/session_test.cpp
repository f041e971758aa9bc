// The program's place in the desktop session: a sleep inhibitor held through
// logind, and a sleep that happens anyway prepared for and recovered from. (A
// second copy is recognised through the process list in
// tests/app/program_identity_test.cpp.)
#include <gtest/gtest.h>

#include <QAction>
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QProcessEnvironment>
#include <optional>
#include <tuple>
#include <vector>

#include "LogindTestSupport.h"
#include "app/qt/AppServices.h"
#include "app/qt/MainForm.h"
#include "app/qt/Session.h"
#include "support/TempDir.h"
#include "support/scheduler_doubles.h"
#include "support/scheduler_fake_clock.h"

namespace wavecrate {
namespace {

using namespace std::chrono_literals;

TEST(SessionTest, SleepIsBlockedThroughALogindInhibitor) {
  ASSERT_TRUE(test::TPrivateLogind::Ready());
  {
    TSleepInhibitor inhibitor("Wavecrate", "Recording scheduled radio shows");
    EXPECT_TRUE(inhibitor.Held());
    EXPECT_TRUE(test::TPrivateLogind::Holds("Wavecrate", "block")) << "no blocking sleep inhibitor was taken";
  }
}

// Services whose clock and captures the test drives; they note when the
// window asks the captures to write their headers before a sleep.
class TSleepyServices final : public TAppServices {
 public:
  bool WriteCaptureHeadersNow(std::chrono::milliseconds) override {
    ++HeaderWrites;
    DelayHeldWhileWriting = Watcher != nullptr && Watcher->DelayHeld();
    return true;
  }
  int HeaderWrites = 0;
  bool DelayHeldWhileWriting = false;
  TSleepWatcher* Watcher = nullptr;
};

// A sleep that happens anyway: logind is held up until the recordings have
// written their headers, and after the wake a show under way is joined.
TEST(SessionTest, ASleepWaitsForTheHeadersAndTheWakeJoinsTheShowUnderWay) {
  ASSERT_TRUE(test::TPrivateLogind::Ready());
  test::TScopedTimeZone utc("UTC");
  test::TempDir dir;
  const TAppPaths paths = TAppPaths::ForExecutable(dir.File("wavecrate"));
  test::TFakeClock clock(test::TFakeClock::At(2008, 1, 5, 8, 45, 0, 500));  // inside 08:30 to 09:30
  test::TCaptureLog captures;
  auto events = std::make_shared<test::TRecordingEventLog>();
  auto services = std::make_shared<TSleepyServices>();
  services->AppClock = &clock;
  services->CaptureFactory = captures.Factory(clock, 0);
  services->Events = events;
  // Joining is off when the program starts, so the start leaves the show alone.
  test::WriteFile(paths.SettingsPath,
                  "[User]\nURL1=http://127.0.0.1:9/live\nCheck1=1\nStartTime1=08:30:00 AM\n"
                  "EndTime1=01:00:00\nShowName1=  Other Music\nDaily1=1\n[System]\n"
                  "SaveFilePath=/nonexistent/\n[Options]\nJoinShowsUnderWay=0\n");
  {
    TForm1 form(paths, services);
    // Also when an assertion leaves early: the slot threads sleep in the
    // fake clock and must be let go before the window joins them.
    struct TReleaseClock {
      test::TFakeClock& Clock;
      ~TReleaseClock() { Clock.ReleaseAll(); }
    } release{clock};
    services->Watcher = form.Controller().findChild<TSleepWatcher*>();
    ASSERT_NE(services->Watcher, nullptr);
    EXPECT_TRUE(services->Watcher->Watching());
    EXPECT_TRUE(test::TPrivateLogind::Holds("Wavecrate", "delay"));
    clock.SetParticipants(1);
    ASSERT_TRUE(clock.RunFor(std::chrono::seconds(2)));
    EXPECT_TRUE(captures.Records().empty());
    form.findChild<QAction*>("JoinShows1")->trigger();  // on, from now
    ASSERT_TRUE(clock.RunFor(std::chrono::seconds(2)));
    EXPECT_TRUE(captures.Records().empty()) << "the option alone joins nothing";

    ASSERT_TRUE(test::TPrivateLogind::EmitPrepareForSleep(true));
    auto pump = [](auto ready) {
      return test::WaitUntil(
          [&] {
            QCoreApplication::processEvents();
            return ready();
          },
          10000ms);
    };
    ASSERT_TRUE(pump([&] { return services->HeaderWrites == 1; }));
    EXPECT_TRUE(services->DelayHeldWhileWriting) << "logind must wait while the headers are written";
    EXPECT_TRUE(pump([] { return !test::TPrivateLogind::Holds("Wavecrate", "delay"); }))
        << "the delay lock must go once the headers are written, or the sleep waits for nothing";

    ASSERT_TRUE(test::TPrivateLogind::EmitPrepareForSleep(false));
    EXPECT_TRUE(pump([] { return test::TPrivateLogind::Holds("Wavecrate", "delay"); }))
        << "a new lock for the next sleep";
    ASSERT_TRUE(clock.RunFor(std::chrono::seconds(2)));
    const auto recorded = captures.Records();
    ASSERT_EQ(recorded.size(), 1u) << "the wake must join the show under way";
    EXPECT_EQ(recorded[0].OutputFileName, "/nonexistent/Other Music-01-05-2008.mp3");
    const auto entries = events->Entries();
    ASSERT_FALSE(entries.empty());
    EXPECT_TRUE(entries[0].Report.Joined);
    EXPECT_EQ(services->HeaderWrites, 1);
    form.ExitSequence(false);
  }
}

}  // namespace
}  // namespace wavecrate
