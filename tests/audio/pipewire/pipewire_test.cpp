// The program's mixes on a real PipeWire (its PulseAudio service, with
// WirePlumber saving and restoring streams' volume and mute): a mix whose
// loopback was saved muted when its owner was killed is heard in the next
// run, a loopback muted or zeroed by someone else is put back, and a
// restart of the sound server brings the mixes back at the level they had.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>

#include "audio/gst/AudioCaptureThread.h"
#include "audio/pipewire/PrivatePipeWire.h"
#include "support/TempDir.h"

namespace wavecrate::test {
namespace {

using namespace std::chrono_literals;

constexpr double kAudible = 0.05;  // a 0.5-volume sine is at about 0.35

double Heard(const std::string& server, std::chrono::milliseconds span = 800ms) {
  return Rms(Listen("speakers.monitor", span, server).Channel(0));
}

std::shared_ptr<TStereoMix> Mix(const PrivatePipeWire& pw) {
  TStereoMix::TOptions options;
  options.Server = pw.Address();
  options.PointPlaybackHere = false;
  options.RetryInterval = 200ms;
  return std::make_shared<TStereoMix>(options);
}

std::string SinkInputNamed(const std::string& server, const std::string& name) {
  std::istringstream lines(Pactl("list sink-inputs", server));
  std::string line, index;
  while (std::getline(lines, line)) {
    if (line.rfind("Sink Input #", 0) == 0) index = line.substr(12);
    if (line.find("media.name = \"" + name + "\"") != std::string::npos) return index;
  }
  return "";
}

#define REQUIRE_PIPEWIRE(pw) \
  if (!(pw).Up())            \
  GTEST_SKIP() << "PipeWire, WirePlumber or pipewire-pulse did not start (scripts/setup installs them)"

TEST(PipeWireMix, ALoopbackSavedMutedByAKilledRunAndOneMutedLaterAreBothHeard) {
  PrivatePipeWire pw;
  REQUIRE_PIPEWIRE(pw);
  const std::string server = pw.Address();
  // A run of the program (this process's id, so the next mix has the very
  // same stream names) is killed while a muted recording runs.
  TempDir dir;
  const std::string ready = dir.File("ready");
  {
    Subprocess owner({"/proc/self/exe", "--mix-owner", server, std::to_string(::getpid()), ready});
    ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(ready); }, 10s));
    const std::string saved =
        "media.name:" + LoopbackStreamName(StereoMixSinkName(::getpid())) + ":mute=true";
    ASSERT_TRUE(WaitUntil([&] { return pw.SavedStreams().find(saved) != std::string::npos; }, 5s))
        << pw.SavedStreams();
    owner.Signal(SIGKILL);
    owner.Wait(5s);
  }

  // The next run: the session manager restores the saved mute on the new
  // loopback; the mix must be heard all the same.
  auto mix = Mix(pw);
  ASSERT_TRUE(mix->Start()) << mix->FallbackReason();
  auto tone = PlayTone(440, 0.5, mix->SinkName(), server);
  EXPECT_TRUE(WaitUntil([&] { return Heard(server) > kAudible; }, 5s));
  const auto state = mix->LoopbackState();
  ASSERT_TRUE(state.has_value());
  EXPECT_FALSE(state->Muted);
  // One mix of ours: the killed run's leftovers are gone.
  const std::string modules = Pactl("list short modules", server);
  const std::string ours = "sink_name=" + mix->SinkName() + " ";
  EXPECT_EQ(modules.find(ours), modules.rfind(ours)) << modules;

  // Someone mutes it, or turns it to 0, while no recording of ours mutes
  // it: it is put back.
  const std::string input = SinkInputNamed(server, LoopbackStreamName(mix->SinkName()));
  ASSERT_FALSE(input.empty());
  Pactl("set-sink-input-mute " + input + " 1", server);
  EXPECT_TRUE(WaitUntil([&] { return !mix->LoopbackState()->Muted && Heard(server, 400ms) > kAudible; }, 5s));
  Pactl("set-sink-input-volume " + input + " 0", server);
  EXPECT_TRUE(WaitUntil([&] { return Heard(server, 400ms) > kAudible; }, 5s));

  // A muting recording's own mute stays.
  ASSERT_TRUE(mix->MuteSpeakers());
  std::this_thread::sleep_for(1s);
  EXPECT_TRUE(mix->LoopbackState()->Muted);
  mix->RestoreSpeakers();
  EXPECT_TRUE(WaitUntil([&] { return Heard(server, 400ms) > kAudible; }, 5s));
}

TEST(PipeWireMix, AfterARestartASlotsMixIsHeardAndRecordedAtTheLevelItHad) {
  PrivatePipeWire pw;
  REQUIRE_PIPEWIRE(pw);
  const std::string server = pw.Address();
  auto mix = Mix(pw);
  ASSERT_TRUE(mix->Start()) << mix->FallbackReason();
  const std::string sink = mix->SlotSink(1);
  ASSERT_EQ(sink, mix->SlotSinkName(1));
  auto tone = PlayTone(440, 0.5, sink, server);
  TempDir dir;
  auto capture = std::make_shared<TAudioCaptureThread>(mix);
  capture->OutputFileName = dir.File("restart.mp3");
  capture->Slot = 1;
  const auto resumed = std::chrono::steady_clock::now();
  capture->Resume();
  ASSERT_TRUE(WaitUntil([&] { return Heard(server) > kAudible; }, 5s));
  const double heardBefore = TypicalLevel(Listen("speakers.monitor", 1500ms, server));
  const double stoppedAt = std::chrono::duration<double>(std::chrono::steady_clock::now() - resumed).count();
  tone.reset();
  pw.Stop();
  std::this_thread::sleep_for(1s);
  ASSERT_TRUE(pw.Start());
  const double backAt = std::chrono::duration<double>(std::chrono::steady_clock::now() - resumed).count();
  ASSERT_TRUE(WaitUntil([&] { return mix->SlotMixLoaded(1); }, 10s));
  tone = PlayTone(440, 0.5, mix->SlotSink(1), server);  // the player's own error path
  ASSERT_TRUE(WaitUntil([&] { return Heard(server, 400ms) > kAudible; }, 5s));
  const double heardAfter = TypicalLevel(Listen("speakers.monitor", 1500ms, server));
  std::this_thread::sleep_for(1s);
  ASSERT_TRUE(StopAndWait(*capture, 10s));

  EXPECT_NEAR(20 * std::log10(heardAfter / heardBefore), 0, 1.0)
      << "heard " << heardBefore << " before, " << heardAfter << " after";
  const TPcm pcm = Decode(dir.File("restart.mp3"));
  // 100 ms levels; their medians are not moved by a dropout of a loaded
  // machine.
  const auto levels = WindowedRms(pcm, static_cast<std::size_t>(pcm.Rate) / 10);
  auto typical = [&](double from, double to) {
    const auto at = [&](double t) {
      return levels.begin() + static_cast<std::ptrdiff_t>(std::clamp<double>(t * 10, 0, levels.size()));
    };
    std::vector<double> span(at(from), std::max(at(from), at(to)));
    if (span.empty()) return 0.0;
    std::nth_element(span.begin(), span.begin() + span.size() / 2, span.end());
    return span[span.size() / 2];
  };
  ASSERT_GT(pcm.Seconds(), stoppedAt);
  const double before = typical(stoppedAt - 1.5, stoppedAt - 0.2);
  double heardAgainAt = -1;
  for (std::size_t i = static_cast<std::size_t>(backAt * 10); i + 2 < levels.size(); ++i) {
    if (levels[i] > kAudible && levels[i + 1] > kAudible && levels[i + 2] > kAudible) {
      heardAgainAt = static_cast<double>(i) / 10;
      break;
    }
  }
  ASSERT_GT(heardAgainAt, 0) << "the tone never came back into the recording";
  EXPECT_LT(heardAgainAt - backAt, 5.0);
  const double after = typical(heardAgainAt + 0.5, pcm.Seconds() - 0.3);
  EXPECT_NEAR(20 * std::log10(after / before), 0, 1.0)
      << "recorded " << before << " before, " << after << " after";
}

}  // namespace
}  // namespace wavecrate::test
