// The main window's web views are made only when something needs them: a
// banner once the vendor's host answers, a slot's page browser once its show
// opens the link as a page (gone again at the show's end). Until then the web
// engine runs no process at all.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QWebEngineView>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/AppPaths.h"
#include "app/qt/AppServices.h"
#include "app/qt/LogindTestSupport.h"
#include "app/qt/MainForm.h"
#include "audio/pulse/StereoMix.h"
#include "common/curl/CurlHttpClient.h"
#include "page_audio_support.h"
#include "playback/qt/Browsers.h"
#include "playback/qt/SlotPlayback.h"
#include "support/audio_analysis.h"
#include "support/playback_http_server.h"
#include "support/scheduler_doubles.h"
#include "support/scheduler_fake_clock.h"
#include "test_mix.h"

namespace wavecrate {
namespace {

using namespace std::chrono_literals;
using test::ListenTo;
using test::Spin;

// Child processes of this test that run the web engine.
int WebEngineChildren() {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream stat(entry.path() / "stat");
    std::string pid, comm, state;
    long ppid = 0;
    if (!(stat >> pid >> comm >> state >> ppid) || ppid != getpid()) continue;
    if (comm.rfind("(QtWebEngine", 0) == 0) ++count;
  }
  return count;
}

std::shared_ptr<TAppServices> WebServices(const std::string& vendorBase) {
  auto services = std::make_shared<TAppServices>();
  services->WithMedia = true;
  services->Http = std::make_shared<TCurlHttpClient>();
  services->VendorBase = vendorBase;
  services->Events = std::make_shared<test::TRecordingEventLog>();
  return services;
}

std::string DeadBase() {
  return "http://127.0.0.1:" + std::to_string(test::PlaybackFreePort());
}

template <typename F>
bool SpinUntil(F ready) {
  return test::WaitUntil(
      [&] {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        return ready();
      },
      30s);
}

TEST(FormWebViewsTest, NoWebViewNorEngineProcessWhileTheVendorHostIsUnreachableBannersOnceItAnswers) {
  ASSERT_TRUE(test::TPrivateLogind::Ready());
  test::TempDir dir;
  const TAppPaths paths = TAppPaths::ForExecutable(dir.File("wavecrate"));
  test::WriteFile(paths.SettingsPath,
                  "[UserInfo]\nGender=Male\n[System]\nSaveFilePath=" + dir.File("") + "\n");
  {
    TForm1 form(paths, WebServices(DeadBase()));
    Spin(1500ms);
    EXPECT_TRUE(form.findChildren<QWebEngineView*>().isEmpty()) << "no banner, no page browser";
    EXPECT_EQ(WebEngineChildren(), 0) << "the web engine started with no view to show";
    form.ExitSequence(false);
  }

  // Banner 1 exists at the gender's level, banner 2 only as the fallback.
  test::TPlaybackHttpServer vendor;
  vendor.SetRoutes(R"([
    {"path": "/banner1ads/male/banner1.php", "content_type": "text/html",
     "body": "<html><head><title>first banner</title></head><body></body></html>"},
    {"path": "/banner2ads/banner2.php", "content_type": "text/html",
     "body": "<html><head><title>second banner</title></head><body></body></html>"}
  ])");
  TForm1 form(paths, WebServices(vendor.Base()));
  // Looked up in the background: the window is up before the answer.
  ASSERT_TRUE(SpinUntil([&] {
    return form.Controller().Playback().Banner(1) != nullptr &&
           form.Controller().Playback().Banner(2) != nullptr;
  }));
  EXPECT_EQ(form.Controller().Playback().Banner(1)->objectName(), "WebBrowser");
  EXPECT_EQ(form.Controller().Playback().Banner(2)->geometry(), QRect(12, 565, 500, 75));
  EXPECT_TRUE(form.Controller().Playback().Banner(1)->isVisibleTo(&form));
  EXPECT_TRUE(SpinUntil([&] { return form.Controller().Playback().Banner(1)->title() == "first banner"; }));
  EXPECT_TRUE(SpinUntil([&] { return form.Controller().Playback().Banner(2)->title() == "second banner"; }));
  EXPECT_GT(WebEngineChildren(), 0) << "the banners' pages load in the web engine's processes";
  EXPECT_EQ(form.Controller().Playback().PageBrowser(1), nullptr) << "banners need no page browser";
  form.ExitSequence(false);
}

// Slot 1's link is a station's web page with an autoplaying player: the
// stream player fails on it, the link opens in the slot's page browser, made
// for it then (the window hidden in the tray, as it usually is), and the
// page's sound reaches the mix; the end step takes the browser and its sound
// away.
TEST(FormWebViewsTest, ASlotsPageBrowserIsMadeForAPageLinkPlaysIntoTheMixAndGoesAtTheShowsEnd) {
  ASSERT_TRUE(test::TPrivateLogind::Ready());
  ASSERT_TRUE(test::g_mix->MixLoaded()) << test::g_mix->FallbackReason();
  test::TScopedTimeZone utc("UTC");
  test::TempDir dir;
  std::filesystem::create_directory(dir.File("rec"));
  test::WriteToneWav(dir.File("tone.wav"), 660, 30);
  test::WriteFile(dir.File("station.html"),
                  "<html><body><audio src=\"tone.wav\" autoplay loop></audio></body></html>");
  test::TPlaybackHttpServer station(dir.Path().string());

  test::TFakeClock clock(test::TFakeClock::At(2008, 1, 5, 0, 30, 10));  // Saturday, 00:30:10
  test::TCaptureLog captures;
  auto services = WebServices(DeadBase());
  services->AppClock = &clock;
  services->CaptureFactory = captures.Factory(clock, 0);
  services->ProgramFolder = dir.Path().string();
  services->SlotUsesSharedMix = [](int slot, bool shared) {
    test::g_mix->SetSlotUsesSharedMix(slot, shared);
  };
  const TAppPaths paths = TAppPaths::ForExecutable(dir.File("wavecrate"));
  // 00:30 to 00:32 on Saturdays: under way at start-up, so it is joined.
  test::WriteFile(paths.SettingsPath, "[User]\nURL1=" + station.Base() +
                                          "/station.html\nCheck1=1\nStartTime1=12:30:00 AM\n"
                                          "EndTime1=00:02:00\nShowName1=  Other Music\nSat1=1\n"
                                          "[System]\nSaveFilePath=" +
                                          dir.File("rec") + "/\n");
  TForm1 form(paths, services);
  struct TReleaseClock {
    test::TFakeClock& Clock;
    ~TReleaseClock() { Clock.ReleaseAll(); }
  } release{clock};
  for (int n = 1; n <= 4; ++n)
    EXPECT_EQ(form.Controller().Playback().PageBrowser(n), nullptr) << "slot " << n;
  // Shows are recorded while the window waits in the tray.
  form.hide();

  clock.SetParticipants(1);
  ASSERT_TRUE(clock.RunFor(2s));
  ASSERT_EQ(captures.Records().size(), 1u) << "the show under way was not joined";
  ASSERT_TRUE(SpinUntil([&] { return form.Controller().Playback().PageBrowser(1) != nullptr; }))
      << "the page link never opened in a page browser";
  TWebBrowser* page = form.Controller().Playback().PageBrowser(1);
  EXPECT_EQ(page->objectName(), "WebPageBrowser");
  EXPECT_EQ(page->geometry(), QRect(2120, 300, 300, 150));
  EXPECT_EQ(form.Controller().Playback().PageBrowser(4), nullptr)
      << "only the slot whose link is a page gets a browser";
  EXPECT_EQ(form.Controller().Playback().Banner(1), nullptr)
      << "the start's banner reload still finds no vendor host";

  std::vector<float> mix;
  for (int attempt = 0; attempt < 15; ++attempt) {
    mix = ListenTo(test::g_mix->MonitorSource(), 1000ms, dir);
    if (test::Rms(mix) > 0.02) break;
  }
  ASSERT_GT(test::Rms(mix), 0.02) << "the page's sound never reached the program's mix";
  EXPECT_NEAR(test::DominantFrequency(mix, 44100), 660, 15);

  // To the end minute, 00:32, with the slot's timer ticking every second.
  ASSERT_TRUE(clock.JumpBy(std::chrono::seconds(105)));
  ASSERT_TRUE(clock.RunFor(
      std::chrono::seconds(5), [&] { form.Controller().PlaybackTick(1); }, 1000));
  EXPECT_EQ(form.Controller().Playback().PageBrowser(1), nullptr) << "the page browser outlived its show";
  EXPECT_EQ(form.findChild<TWebBrowser*>("WebPageBrowser"), nullptr);
  Spin(500ms);
  EXPECT_LT(test::Rms(ListenTo(test::g_mix->MonitorSource(), 1000ms, dir)), 0.005)
      << "the page is still heard after the show's end";
  form.ExitSequence(false);
}

}  // namespace
}  // namespace wavecrate
