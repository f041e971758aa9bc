// The program's stereo mix on a real PulseAudio: what gets loaded, where the
// program's sound goes, muting and its restoration, a server restart, the
// fallback, and clean-up.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "audio/pulse/PulseTestSupport.h"
#include "audio/pulse/StereoMix.h"

namespace wavecrate::test {
namespace {

using namespace std::chrono_literals;

constexpr double kAudible = 0.05;  // a 0.5-volume sine is at about 0.35
constexpr double kSilent = 0.001;

double Level(const TPcm& pcm) {
  return Rms(pcm.Channel(0));
}

// A mix of the test's own on a private server, not touching PULSE_SINK.
std::shared_ptr<TStereoMix> PrivateMix(const PrivatePulse& pulse, long owner = 0) {
  TStereoMix::TOptions options;
  options.Server = pulse.Address();
  options.PointPlaybackHere = false;
  options.OwnerId = owner;
  return std::make_shared<TStereoMix>(options);
}

// Index of the loopback's playback stream on `server`.
std::string LoopbackInput(const std::string& server) {
  std::istringstream lines(Pactl("list short sink-inputs", server));
  std::string line;
  while (std::getline(lines, line)) {
    if (line.find("module-loopback") != std::string::npos) return line.substr(0, line.find('\t'));
  }
  return "";
}

TEST(StereoMix, ProgramSoundGoesIntoTheNamedMixAndOnToTheUsersSink) {
  auto mix = TestMix();
  ASSERT_TRUE(mix->MixLoaded()) << mix->FallbackReason();
  const char* pointed = std::getenv("PULSE_SINK");
  ASSERT_NE(pointed, nullptr);
  EXPECT_EQ(mix->SinkName(), pointed);
  EXPECT_EQ(mix->MonitorSource(), mix->SinkName() + ".monitor");
  EXPECT_EQ(mix->StereoMixLineSource(), mix->MonitorSource());
  EXPECT_NE(mix->StereoMixDeviceName().find("Wavecrate Stereo Mix"), std::string::npos);
  EXPECT_NE(Pactl("list sinks").find("Description: Wavecrate Stereo Mix"), std::string::npos);

  // A player that names no device (as the program's players do) plays into
  // the mix because of PULSE_SINK.
  auto tone = PlayTone(660);
  const TPcm recorded = Listen(mix->MonitorSource(), 1500ms);
  ASSERT_GT(recorded.Seconds(), 1.0);
  const TPcm tail = TPcm{std::vector<std::int16_t>(recorded.Samples.begin() + 44100, recorded.Samples.end())};
  EXPECT_GT(Level(tail), kAudible);
  EXPECT_NEAR(DominantFrequency(tail.Channel(0), 44100), 660, 10);
}

TEST(StereoMix, MutingSilencesOnlyTheSpeakersAndTheLastRestoreBringsBackTheUsersSetting) {
  PrivatePulse pulse;
  auto mix = PrivateMix(pulse);
  ASSERT_TRUE(mix->Start()) << mix->FallbackReason();
  const std::string server = pulse.Address();
  auto tone = PlayTone(440, 0.5, mix->SinkName(), server);

  // The user had turned the program's sound down to 50 %.
  const std::string input = LoopbackInput(server);
  ASSERT_FALSE(input.empty());
  Pactl("set-sink-input-volume " + input + " 32768", server);
  const auto before = mix->LoopbackState();
  ASSERT_TRUE(before.has_value());
  ASSERT_EQ(before->Channels, (std::vector<std::uint32_t>{32768, 32768}));
  EXPECT_GT(Level(Listen("speakers.monitor", 1000ms, server)), kAudible / 2);

  ASSERT_TRUE(mix->MuteSpeakers());  // first recording
  ASSERT_TRUE(mix->MuteSpeakers());  // a second one overlapping it
  EXPECT_LT(Level(Listen("speakers.monitor", 800ms, server)), kSilent);
  EXPECT_GT(Level(Listen(mix->MonitorSource(), 800ms, server)), kAudible);

  mix->RestoreSpeakers();  // the first ends; the second still records
  EXPECT_TRUE(mix->LoopbackState()->Muted);
  EXPECT_LT(Level(Listen("speakers.monitor", 800ms, server)), kSilent);

  mix->RestoreSpeakers();
  EXPECT_EQ(mix->LoopbackState(), before);
  EXPECT_GT(Level(Listen("speakers.monitor", 1000ms, server)), kAudible / 2);
  EXPECT_EQ(mix->MuteDepth(), 0);
}

TEST(StereoMix, ComesBackAfterTheServerRestartsStillMutedForARunningRecording) {
  PrivatePulse pulse;
  TStereoMix::TOptions options;
  options.Server = pulse.Address();
  options.PointPlaybackHere = false;
  options.RetryInterval = 200ms;
  auto mix = std::make_shared<TStereoMix>(options);
  ASSERT_TRUE(mix->Start());
  ASSERT_TRUE(mix->MuteSpeakers());
  const auto generation = mix->ServerGeneration();
  ASSERT_NE(generation, 0u);

  pulse.Stop();
  ASSERT_TRUE(WaitUntil([&] { return !mix->Connected(); }, 5s));
  EXPECT_EQ(mix->ServerGeneration(), 0u);
  EXPECT_EQ(mix->MonitorSource(), "");

  ASSERT_TRUE(pulse.Start());
  ASSERT_TRUE(WaitUntil([&] { return mix->MixLoaded(); }, 10s));
  EXPECT_GT(mix->ServerGeneration(), generation);
  EXPECT_NE(Pactl("list short modules", pulse.Address()).find("sink_name=" + mix->SinkName()),
            std::string::npos);
  const auto state = mix->LoopbackState();
  ASSERT_TRUE(state.has_value());
  EXPECT_TRUE(state->Muted);
  mix->RestoreSpeakers();
  EXPECT_FALSE(mix->LoopbackState()->Muted);
}

TEST(StereoMix, StopUnloadsItsModulesAndStartRemovesOnlyLeftoversOfDeadProcesses) {
  PrivatePulse pulse;
  const std::string server = pulse.Address();
  // A process that has ended, and one that still runs (this test's parent).
  Subprocess ended({"true"});
  ended.Wait(5s);
  const std::string deadSink = StereoMixSinkName(ended.Pid());
  const std::string liveSink = StereoMixSinkName(static_cast<long>(::getppid()));
  Pactl("load-module module-null-sink " + ShellQuote(NullSinkArguments(deadSink)), server);
  Pactl("load-module module-loopback " + ShellQuote(LoopbackArguments(deadSink, "speakers")), server);
  Pactl("load-module module-null-sink " + ShellQuote(NullSinkArguments(liveSink)), server);
  // The dead process's slot mix as well.
  const std::string deadSlot = SlotMixSinkName(ended.Pid(), 2);
  Pactl("load-module module-null-sink " + ShellQuote(NullSinkArguments(deadSlot, SlotMixDescription(2))),
        server);
  Pactl("load-module module-loopback " + ShellQuote(LoopbackArguments(deadSlot, "speakers")), server);
  ASSERT_NE(Pactl("list short modules", server).find(deadSink), std::string::npos);
  ASSERT_NE(Pactl("list short modules", server).find(deadSlot), std::string::npos);

  auto mix = PrivateMix(pulse);
  ASSERT_TRUE(mix->Start());
  std::string modules = Pactl("list short modules", server);
  EXPECT_EQ(modules.find(deadSink), std::string::npos) << modules;
  EXPECT_NE(modules.find(liveSink), std::string::npos) << modules;
  EXPECT_NE(modules.find("sink_name=" + mix->SinkName()), std::string::npos);

  ASSERT_FALSE(mix->SlotSink(4).empty());  // loaded on demand; unloaded with the rest
  mix->Stop();
  modules = Pactl("list short modules", server);
  EXPECT_EQ(modules.find(mix->SinkName()), std::string::npos) << modules;
  EXPECT_EQ(modules.find("module-loopback"), std::string::npos) << modules;
  EXPECT_FALSE(mix->Connected());
}

TEST(StereoMix, WithModulesRefusedItRecordsWhatTheUserHearsAndNeverMutes) {
  PrivatePulse pulse({"--disallow-module-loading"});
  TStereoMix::TOptions options;
  options.Server = pulse.Address();
  options.OwnerId = 7;
  options.PointPlaybackHere = false;
  auto mix = std::make_shared<TStereoMix>(options);

  EXPECT_FALSE(mix->Start());
  EXPECT_TRUE(mix->Connected());
  EXPECT_FALSE(mix->MixLoaded());
  EXPECT_NE(mix->FallbackReason().find("module-null-sink"), std::string::npos);
  EXPECT_EQ(mix->MonitorSource(), "speakers.monitor");
  EXPECT_EQ(mix->StereoMixLineSource(), "speakers.monitor");
  // PULSE_SINK names a sink that is not there: a slot's player is sent to
  // the user's sink, whose monitor is recorded.
  EXPECT_EQ(mix->SlotSink(1), "speakers");

  // Muting the user's own sink would silence its monitor, i.e. the recording.
  auto tone = PlayTone(440, 0.5, "speakers", pulse.Address());
  EXPECT_FALSE(mix->MuteSpeakers());
  EXPECT_GT(Level(Listen("speakers.monitor", 1000ms, pulse.Address())), kAudible);
}

TEST(StereoMix, TheLoopbackFollowsTheUsersDefaultSinkAndTheDefaultsAreLeftAlone) {
  PrivatePulse pulse;
  const std::string server = pulse.Address();
  Pactl("load-module module-null-sink sink_name=headphones", server);
  auto mix = PrivateMix(pulse);
  ASSERT_TRUE(mix->Start());
  EXPECT_NE(Pactl("info", server).find("Default Sink: speakers"), std::string::npos);
  EXPECT_NE(Pactl("info", server).find("Default Source: microphone.monitor"), std::string::npos);

  Pactl("set-default-sink headphones", server);
  auto tone = PlayTone(880, 0.5, mix->SinkName(), server);
  EXPECT_TRUE(
      WaitUntil([&] { return Level(Listen("headphones.monitor", 300ms, server)) > kAudible / 2; }, 5s));
}

TEST(StereoMix, SlotMixesLoadWhenAskedFallBackToTheSharedMixFollowTheSlotsLinkAndGoWhenUnused) {
  PrivatePulse pulse;
  const std::string server = pulse.Address();
  TStereoMix::TOptions lazy;
  lazy.Server = server;
  lazy.PointPlaybackHere = false;
  lazy.SlotIdleUnload = 1500ms;
  lazy.IdleCheckInterval = 200ms;
  auto mix = std::make_shared<TStereoMix>(lazy);
  ASSERT_TRUE(mix->Start());
  EXPECT_EQ(Pactl("list short modules", server).find("_slot"), std::string::npos);  // none until asked

  const std::string sink1 = mix->SlotSink(1);
  EXPECT_EQ(sink1, mix->SlotSinkName(1));
  EXPECT_TRUE(mix->SlotMixLoaded(1));
  EXPECT_EQ(mix->SlotSink(1), sink1);  // asked again: the same, not a second one
  EXPECT_EQ(mix->SlotLineSource(1), MonitorSourceName(sink1));
  EXPECT_EQ(mix->SlotMix(1), 1);
  EXPECT_NE(mix->SlotDeviceName(1).find("Wavecrate Slot 1 Stereo Mix"), std::string::npos);
  EXPECT_NE(Pactl("list sinks", server).find("Description: Wavecrate Slot 1 Stereo Mix"), std::string::npos);
  // Its own loopback, heard on the user's sink.
  auto tone = PlayTone(700, 0.5, sink1, server);
  EXPECT_GT(Level(Listen("speakers.monitor", 1000ms, server)), kAudible / 2);
  EXPECT_LT(Level(Listen(mix->MonitorSource(), 500ms, server)), kSilent);  // not in the shared mix

  // The slot's link moves to the page browser and back.
  mix->SetSlotUsesSharedMix(1, true);
  EXPECT_EQ(mix->SlotSink(1), "");
  EXPECT_EQ(mix->SlotLineSource(1), mix->MonitorSource());
  EXPECT_EQ(mix->SlotMix(1), 0);
  mix->SetSlotUsesSharedMix(1, false);
  EXPECT_EQ(mix->SlotSink(1), sink1);

  // A slot whose mix the server refuses (here: its name is taken) plays
  // and records through the shared mix, never into nothing.
  Pactl("load-module module-null-sink sink_name=" + mix->SlotSinkName(3), server);
  EXPECT_EQ(mix->SlotSink(3), "");
  EXPECT_FALSE(mix->SlotMixLoaded(3));
  EXPECT_EQ(mix->SlotLineSource(3), mix->MonitorSource());
  EXPECT_EQ(mix->SlotMix(3), 0);

  // Nothing plays into slot 1 or records it any more: its mix goes, and
  // comes back when the slot next asks.
  tone.reset();
  EXPECT_TRUE(WaitUntil([&] { return !mix->SlotMixLoaded(1); }, 5s));
  EXPECT_EQ(Pactl("list short modules", server).find("sink_name=" + sink1 + " "), std::string::npos);
  EXPECT_EQ(mix->SlotSink(1), sink1);
  EXPECT_TRUE(mix->SlotMixLoaded(1));

  // Loaded at start instead, for another owner on the same server.
  TStereoMix::TOptions options;
  options.Server = server;
  options.PointPlaybackHere = false;
  options.OwnerId = static_cast<long>(::getppid());
  options.SlotMixesAtStart = true;
  TStereoMix eager(options);
  ASSERT_TRUE(eager.Start());
  for (int slot = 1; slot <= kMixSlots; ++slot) EXPECT_TRUE(eager.SlotMixLoaded(slot)) << slot;
  eager.Stop();
  EXPECT_EQ(Pactl("list short modules", server).find(StereoMixSinkName(options.OwnerId)), std::string::npos);
}

}  // namespace
}  // namespace wavecrate::test
