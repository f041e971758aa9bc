// The program's mixes on a real PipeWire (its PulseAudio service, with
// WirePlumber saving and restoring streams' volume and mute): a mix whose
// loopback was saved muted when its owner was killed is heard in the next
// run, and a loopback muted or zeroed by someone else is put back. (A restart
// of the sound server, with the streams' volumes restored by the server, is
// tests/audio/pulse/capture_test.cpp's.)
#include <gtest/gtest.h>

#include <sstream>

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

}  // namespace
}  // namespace wavecrate::test
