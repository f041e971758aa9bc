// A page that a slot's hidden browser opens plays into the program's own mix,
// so its sound reaches the recording; muting the speakers keeps it out of the
// user's ears but not out of the recording.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <vector>

#include "audio/gst/AudioCaptureThread.h"
#include "audio/pulse/StereoMix.h"
#include "playback/qt/Browsers.h"
#include "support/Subprocess.h"
#include "support/TempDir.h"
#include "support/audio_analysis.h"
#include "test_mix.h"

namespace wavecrate {
namespace {

using namespace std::chrono_literals;

void Spin(std::chrono::milliseconds span) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < span.count()) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
}

// A 16-bit stereo PCM WAV file of a sine tone.
void WriteToneWav(const std::string& path, int hz, int seconds) {
  const int rate = 44100;
  const std::uint32_t frames = static_cast<std::uint32_t>(rate * seconds);
  const std::uint32_t data = frames * 4;
  std::ofstream out(path, std::ios::binary);
  auto u32 = [&](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](std::uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
  out.write("RIFF", 4);
  u32(36 + data);
  out.write("WAVEfmt ", 8);
  u32(16);
  u16(1);
  u16(2);
  u32(rate);
  u32(rate * 4);
  u16(4);
  u16(16);
  out.write("data", 4);
  u32(data);
  for (std::uint32_t i = 0; i < frames; ++i) {
    const auto s = static_cast<std::int16_t>(12000 * std::sin(2 * M_PI * hz * i / rate));
    u16(static_cast<std::uint16_t>(s));
    u16(static_cast<std::uint16_t>(s));
  }
}

// Mono 16-bit little-endian samples as floats in [-1, 1).
std::vector<float> ToFloats(const std::string& bytes) {
  std::vector<float> out(bytes.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) {
    std::int16_t v;
    std::memcpy(&v, bytes.data() + 2 * i, 2);
    out[i] = static_cast<float>(v) / 32768.0f;
  }
  return out;
}

// Records a mono 44.1 kHz stretch of a PulseAudio source while the Qt loop runs.
std::vector<float> ListenTo(const std::string& source, std::chrono::milliseconds span,
                            const test::TempDir& dir) {
  const std::string raw = dir.File("listen-" + source + ".raw");
  {
    test::Subprocess parec({"parec", "--device=" + source, "--format=s16le", "--rate=44100", "--channels=1",
                            "--raw", "--latency-msec=50"},
                           {}, raw);
    Spin(span);
  }
  return ToFloats(test::ReadFile(raw));
}

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

}  // namespace
}  // namespace wavecrate
