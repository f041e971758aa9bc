#include "audio/Mixer.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

namespace wavecrate {
namespace {

TEST(StereoMixNames, SinkNameCarriesTheOwningProcessAndIsRecognisedInModuleArguments) {
  EXPECT_EQ(StereoMixSinkName(4242), "wavecrate_mix_4242");
  EXPECT_EQ(StereoMixOwner("wavecrate_mix_4242"), std::optional<long>(4242));
  EXPECT_EQ(StereoMixOwner("wavecrate_mix_"), std::nullopt);
  EXPECT_EQ(StereoMixOwner("wavecrate_mix_12x"), std::nullopt);
  EXPECT_EQ(StereoMixOwner("speakers"), std::nullopt);

  const std::string sink = StereoMixSinkName(99);
  EXPECT_EQ(StereoMixModuleOwner(NullSinkArguments(sink)), std::optional<long>(99));
  EXPECT_EQ(StereoMixModuleOwner(LoopbackArguments(sink, "speakers")), std::optional<long>(99));
  EXPECT_EQ(StereoMixModuleOwner(LoopbackArguments(sink, "")), std::optional<long>(99));
  // Other people's modules are never taken for ours.
  EXPECT_EQ(StereoMixModuleOwner("sink_name=speakers sink_properties=device.description=Speakers"),
            std::nullopt);
  EXPECT_EQ(StereoMixModuleOwner("source=alsa_input.pci.monitor"), std::nullopt);
  EXPECT_EQ(StereoMixModuleOwner("source=wavecrate_mix_5"), std::nullopt);
  EXPECT_EQ(StereoMixModuleOwner(""), std::nullopt);

  // A slot's mix and its loopback belong to the same process, so the next
  // start cleans them up after a crash too.
  const std::string slot = SlotMixSinkName(99, 3);
  EXPECT_EQ(slot, "wavecrate_mix_99_slot3");
  EXPECT_EQ(StereoMixOwner(slot), std::optional<long>(99));
  EXPECT_EQ(StereoMixModuleOwner(NullSinkArguments(slot, SlotMixDescription(3))), std::optional<long>(99));
  EXPECT_EQ(StereoMixModuleOwner(LoopbackArguments(slot, "speakers")), std::optional<long>(99));
  EXPECT_EQ(StereoMixOwner("wavecrate_mix_99_slot"), std::nullopt);
  EXPECT_EQ(StereoMixOwner("wavecrate_mix_99_slot9"), std::nullopt);
  EXPECT_EQ(StereoMixOwner("wavecrate_mix__slot1"), std::nullopt);
}

TEST(StereoMixNames, ModuleArgumentsDescribeTheMixAndPinTheLoopbackSource) {
  EXPECT_EQ(NullSinkArguments("wavecrate_mix_1"),
            "sink_name=wavecrate_mix_1 sink_properties='device.description=\"Wavecrate Stereo Mix\"'");
  // Both loopback streams carry names of their own: a session manager that
  // saved a muted "loopback" of an earlier run must not find them.
  EXPECT_EQ(LoopbackArguments("wavecrate_mix_1", "speakers"),
            "source=wavecrate_mix_1.monitor source_dont_move=true sink=speakers "
            "sink_input_properties=media.name=wavecrate_mix_1_loopback "
            "source_output_properties=media.name=wavecrate_mix_1_loopback_in");
  EXPECT_EQ(LoopbackArguments("wavecrate_mix_1", ""),
            "source=wavecrate_mix_1.monitor source_dont_move=true "
            "sink_input_properties=media.name=wavecrate_mix_1_loopback "
            "source_output_properties=media.name=wavecrate_mix_1_loopback_in");
  // The device rules look for "Stereo": a slot's mix is found by both.
  EXPECT_NE(SlotMixDescription(2).find("Stereo"), std::string::npos);
  EXPECT_NE(NullSinkArguments("s", SlotMixDescription(2)).find("Wavecrate Slot 2 Stereo Mix"),
            std::string::npos);
}

TEST(StereoMixLine, IsOurMonitorOrWhatTheUserHears) {
  TMixerLines lines{true, "wavecrate_mix_1.monitor", "speakers.monitor"};
  EXPECT_EQ(StereoMixLine(lines), "wavecrate_mix_1.monitor");
  lines.MixLoaded = false;  // the fallback records the user's sink, never silence
  EXPECT_EQ(StereoMixLine(lines), "speakers.monitor");
}

// Records the calls the mute sequences make. A stand-in for the sound
// server here because the sequences' order and guards must be seen call by
// call, including calls that throw; tests/audio/pulse runs them for real.
class RecordingControls : public TSpeakerControls {
 public:
  TLineVolume State{{0x8000, 0x6000}, false};
  std::vector<std::string> Calls;
  bool FailVolume = false;
  bool ThrowVolume = false;
  bool ReadFails = false;

  bool Available() override { return true; }
  std::optional<TLineVolume> Read() override {
    Calls.push_back("read");
    if (ReadFails) return std::nullopt;
    return State;
  }
  bool SetVolume(const std::vector<std::uint32_t>& channels) override {
    std::string call = "volume";
    for (auto c : channels) call += " " + std::to_string(c);
    Calls.push_back(call);
    if (ThrowVolume) throw std::runtime_error("server gone");
    if (FailVolume) return false;
    State.Channels = channels;
    return true;
  }
  bool SetMute(bool muted) override {
    Calls.push_back(muted ? "mute on" : "mute off");
    State.Muted = muted;
    return true;
  }
};

TEST(SpeakerMute, SilencesVolumeThenSwitchAndPutsBackWhatWasThere) {
  RecordingControls controls;
  TSpeakerMute mute(controls);
  mute.Mute();
  EXPECT_EQ(controls.Calls, (std::vector<std::string>{"read", "volume 0 0", "mute on"}));
  controls.Calls.clear();
  mute.Restore();
  EXPECT_EQ(controls.Calls, (std::vector<std::string>{"volume 32768 24576", "mute off"}));
  EXPECT_EQ(controls.State, (TLineVolume{{0x8000, 0x6000}, false}));

  // Speakers the user had muted stay muted afterwards.
  controls.State.Muted = true;
  mute.Mute();
  mute.Restore();
  EXPECT_EQ(controls.State, (TLineVolume{{0x8000, 0x6000}, true}));
}

TEST(SpeakerMute, OverlappingRecordingsRestoreOnlyWhenTheLastEnds) {
  RecordingControls controls;
  TSpeakerMute mute(controls);
  mute.Mute();
  mute.Mute();
  EXPECT_EQ(mute.Depth(), 2);
  controls.Calls.clear();
  mute.Restore();  // the first recording ends while the second still records
  EXPECT_TRUE(controls.Calls.empty());
  EXPECT_TRUE(controls.State.Muted);
  mute.Restore();
  EXPECT_EQ(controls.State, (TLineVolume{{0x8000, 0x6000}, false}));
  controls.Calls.clear();
  mute.Restore();  // an unbalanced restore changes nothing
  EXPECT_TRUE(controls.Calls.empty());
  EXPECT_EQ(mute.Depth(), 0);
}

TEST(SpeakerMute, AFailingOrThrowingCallDoesNotSkipTheNext) {
  RecordingControls controls;
  std::vector<std::string> logged;
  TSpeakerMute mute(controls, [&](const std::string& line) { logged.push_back(line); });
  controls.ThrowVolume = true;
  mute.Mute();
  EXPECT_TRUE(controls.State.Muted);
  controls.ThrowVolume = false;
  controls.FailVolume = true;
  mute.Restore();
  EXPECT_FALSE(controls.State.Muted);
  EXPECT_EQ(controls.Calls.back(), "mute off");
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_NE(logged[0].find("server gone"), std::string::npos);
  EXPECT_NE(logged[1].find("refused"), std::string::npos);
}

TEST(SpeakerMute, UnreadableStateIsNotInventedOnRestore) {
  RecordingControls controls;
  controls.ReadFails = true;
  TSpeakerMute mute(controls);
  mute.Mute();
  controls.Calls.clear();
  mute.Restore();
  // Nothing is known of what was there, so nothing is "put back".
  EXPECT_TRUE(controls.Calls.empty());
}

TEST(SpeakerMute, ReapplySilencesRecreatedControlsAndKeepsTheFirstSavedState) {
  RecordingControls controls;
  TSpeakerMute mute(controls);
  mute.Reapply();  // nobody muting: nothing to do
  EXPECT_TRUE(controls.Calls.empty());
  mute.Mute();
  // The server restarted: the new controls come up loud and unmuted.
  controls.State = TLineVolume{{0x10000, 0x10000}, false};
  mute.Reapply();
  EXPECT_EQ(controls.State, (TLineVolume{{0, 0}, true}));
  mute.Restore();
  EXPECT_EQ(controls.State, (TLineVolume{{0x8000, 0x6000}, false}));
}

TEST(SpeakerMute, ConcurrentRecordingsKeepTheCountExact) {
  RecordingControls controls;
  TSpeakerMute mute(controls);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        mute.Mute();
        mute.Restore();
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(mute.Depth(), 0);
  EXPECT_EQ(controls.State, (TLineVolume{{0x8000, 0x6000}, false}));
}

}  // namespace
}  // namespace wavecrate
