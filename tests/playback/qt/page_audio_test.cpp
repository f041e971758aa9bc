// A page that a slot's hidden browser opens plays into the program's own mix,
// so its sound reaches the recording; muting the speakers keeps it out of the
// user's ears but not out of the recording.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QVariantMap>
#include <QWebEnginePage>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "audio/RecordingFile.h"
#include "audio/gst/AudioCaptureThread.h"
#include "audio/pulse/StereoMix.h"
#include "page_audio_support.h"
#include "playback/qt/Browsers.h"
#include "support/Subprocess.h"
#include "support/TempDir.h"
#include "support/audio_analysis.h"
#include "test_mix.h"

namespace wavecrate {
namespace {

using namespace std::chrono_literals;
using test::ListenTo;
using test::Spin;
using test::ToFloats;
using test::WriteToneWav;

std::string DefaultSinkMonitor() {
  const std::string sink = [] {
    FILE* p = popen("pactl get-default-sink", "r");
    char buf[256] = {};
    if (p) {
      if (fgets(buf, sizeof buf, p) == nullptr) buf[0] = 0;
      pclose(p);
    }
    std::string s(buf);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
  }();
  return sink + ".monitor";
}

TEST(PageAudioTest, AnAutoplayingPageIsHeardInTheMixAndRecordedWhileTheSpeakersAreMuted) {
  ASSERT_TRUE(test::g_mix->MixLoaded()) << test::g_mix->FallbackReason();
  test::TempDir dir;
  WriteToneWav(dir.File("tone.wav"), 660, 30);
  test::WriteFile(dir.File("page.html"),
                  "<html><body><script>alert('no box may block this page');</script>"
                  "<audio src=\"tone.wav\" autoplay loop></audio></body></html>");

  TWebBrowser page("WebPageBrowser", false, nullptr);
  page.resize(300, 150);
  page.Navigate(QString::fromStdString("file://" + dir.File("page.html")));
  // Autoplay without a click, and the alert answered without a box.
  std::vector<float> mix;
  for (int attempt = 0; attempt < 10; ++attempt) {
    mix = ListenTo(test::g_mix->MonitorSource(), 1000ms, dir);
    if (test::Rms(mix) > 0.02) break;
  }
  ASSERT_GT(test::Rms(mix), 0.02) << "the page's sound never reached the program's mix";
  EXPECT_NEAR(test::DominantFrequency(mix, 44100), 660, 15);

  // Record the mix through the real capture while the speakers are muted.
  auto capture = MakeAudioCaptureFactory(test::g_mix)();
  capture->OutputFileName = dir.File("page-recording.mp3");
  capture->IsMute = true;
  capture->Resume();
  Spin(1500ms);
  const std::vector<float> speakers = ListenTo(DefaultSinkMonitor(), 1500ms, dir);
  EXPECT_LT(test::Rms(speakers), 0.005) << "the user still hears the page while muted";
  capture->StopRequested = true;
  QElapsedTimer t;
  t.start();
  while (!capture->DoneEvent.IsSet() && t.elapsed() < 10000)
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  ASSERT_TRUE(capture->DoneEvent.IsSet());
  page.Navigate("about:blank");

  const std::string pcm = dir.File("page-recording.raw");
  test::Subprocess ffmpeg({"ffmpeg", "-nostdin", "-loglevel", "error", "-i", capture->OutputFileName, "-f",
                           "s16le", "-ac", "1", "-ar", "44100", pcm});
  ASSERT_EQ(ffmpeg.Wait(30000ms), 0);
  const std::vector<float> rec = ToFloats(test::ReadFile(pcm));
  EXPECT_GT(rec.size(), 44100u * 2) << "the recording is shorter than two seconds";
  EXPECT_GT(test::Rms(rec), 0.02) << "the page's sound is not in the recording";
  EXPECT_NEAR(test::DominantFrequency(rec, 44100), 660, 15);
  // After the only muting recording, the speakers hear the mix again.
  Spin(300ms);
  page.Navigate(QString::fromStdString("file://" + dir.File("page.html")));
  std::vector<float> after;
  for (int attempt = 0; attempt < 10; ++attempt) {
    after = ListenTo(DefaultSinkMonitor(), 1000ms, dir);
    if (test::Rms(after) > 0.02) break;
  }
  EXPECT_GT(test::Rms(after), 0.02) << "the speakers were not given back after the recording";
}

// Both file types a recording can be written as play to their end in the
// browser engine, which gives each its true length.
TEST(PageAudioTest, BothRecordingFileTypesPlayToTheirEndWithTheirLength) {
  test::TempDir dir;
  std::vector<std::shared_ptr<TCaptureThreadBase>> captures;
  for (const TRecordingFileType type : {TRecordingFileType::Wave, TRecordingFileType::Tagged}) {
    auto capture = MakeAudioCaptureFactory(test::g_mix)();
    capture->OutputFileName = dir.File(std::string(RecordingFileTypeKey(type)) + ".mp3");
    capture->FileType = type;
    capture->Tags.Title = "A show";
    capture->Resume();
    captures.push_back(capture);
  }
  Spin(3000ms);
  for (auto& capture : captures) capture->StopRequested = true;
  for (auto& capture : captures) ASSERT_TRUE(capture->DoneEvent.WaitFor(10s));

  test::WriteFile(dir.File("player.html"), R"(<html><body>
<audio id="wave" src="wave.mp3"></audio><audio id="tagged" src="tagged.mp3"></audio>
<script>
var seen = {};
for (const id of ["wave", "tagged"]) {
  const a = document.getElementById(id);
  a.onloadedmetadata = () => { seen[id + "-length"] = a.duration; };
  a.onended = () => { seen[id + "-ended-at"] = a.currentTime; };
  a.onerror = () => { seen[id + "-error"] = a.error.code; };
  a.play();
}
</script></body></html>)");
  TWebBrowser page("WebPageBrowser", false, nullptr);
  page.Navigate(QString::fromStdString("file://" + dir.File("player.html")));
  QVariantMap seen;
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < 20000 && !(seen.contains("wave-ended-at") && seen.contains("tagged-ended-at"))) {
    page.page()->runJavaScript("seen", [&](const QVariant& v) { seen = v.toMap(); });
    Spin(200ms);
  }
  page.Navigate("about:blank");
  for (const auto& capture : captures) {
    const std::string type = capture->FileType == TRecordingFileType::Tagged ? "tagged" : "wave";
    const double seconds = capture->Outcome().Seconds;
    ASSERT_GT(seconds, 2.0) << type;
    const QString key = QString::fromStdString(type);
    EXPECT_FALSE(seen.contains(key + "-error")) << type << " error " << seen.value(key + "-error").toInt();
    EXPECT_NEAR(seen.value(key + "-length", -1).toDouble(), seconds, 0.1) << type;
    EXPECT_NEAR(seen.value(key + "-ended-at", -1).toDouble(), seconds, 0.1)
        << type << " did not play to its end";
  }
}

}  // namespace
}  // namespace wavecrate
