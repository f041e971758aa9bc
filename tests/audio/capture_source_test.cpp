#include "audio/CaptureSource.h"

#include <gtest/gtest.h>

namespace wavecrate {
namespace {

TCaptureDevice Dev(const std::string& name, const std::string& source, bool readable = true) {
  return TCaptureDevice{name, source, readable};
}

TEST(FindCaptureSource, WithoutVistaTakesTheFirstDeviceWhateverItIs) {
  const std::vector<TCaptureDevice> devices = {Dev("Built-in Microphone", "mic"), Dev("Stereo Mix", "mix")};
  EXPECT_EQ(FindCaptureSource(devices, false), std::optional<std::size_t>(0));
  EXPECT_EQ(FindCaptureSource({Dev("", "x", false)}, false), std::optional<std::size_t>(0));
  EXPECT_EQ(FindCaptureSource({}, false), std::nullopt);
}

TEST(FindCaptureSource, WithVistaMatchesStereoInEitherCaseOfTheFirstLetterOnly) {
  EXPECT_EQ(FindCaptureSource({Dev("Mic", "a"), Dev("Monitor of Built-in Audio Analog Stereo", "b")}, true),
            std::optional<std::size_t>(1));
  EXPECT_EQ(FindCaptureSource({Dev("Mic", "a"), Dev("my stereo line", "b")}, true),
            std::optional<std::size_t>(1));
  EXPECT_EQ(FindCaptureSource({Dev("xStereox", "a")}, true), std::optional<std::size_t>(0));
  // Capitals only, or mixed case inside the word, match neither test.
  EXPECT_EQ(FindCaptureSource({Dev("STEREO MIX", "a"), Dev("StEreo", "b")}, true), std::nullopt);
  EXPECT_EQ(FindCaptureSource({}, true), std::nullopt);
}

TEST(FindCaptureSource, WithVistaTakesTheFirstMatchAndSkipsUnreadableNames) {
  const std::vector<TCaptureDevice> devices = {Dev("Stereo hidden", "a", false), Dev("Mic", "b"),
                                               Dev("stereo one", "c"), Dev("Stereo two", "d")};
  EXPECT_EQ(FindCaptureSource(devices, true), std::optional<std::size_t>(2));
}

TEST(OrderCaptureDevices, PutsTheProgramsMixFirstSoBothRulesFindIt) {
  const TCaptureDevice mix = Dev("Monitor of Wavecrate Stereo Mix", "wavecrate_mix_7.monitor");
  // A microphone described "... Analog Stereo" listed before the mix would
  // be recorded by either rule without the reordering.
  const std::vector<TCaptureDevice> listed = {Dev("Built-in Audio Analog Stereo", "alsa_input.pci"),
                                              Dev("Monitor of Speakers", "speakers.monitor"), mix};
  const auto ordered = OrderCaptureDevices(listed, mix);
  ASSERT_EQ(ordered.size(), 3u);
  EXPECT_EQ(ordered[0], mix);
  EXPECT_EQ(ordered[1].Source, "alsa_input.pci");
  EXPECT_EQ(ordered[2].Source, "speakers.monitor");
  EXPECT_EQ(ordered[*FindCaptureSource(ordered, false)].Source, mix.Source);
  EXPECT_EQ(ordered[*FindCaptureSource(ordered, true)].Source, mix.Source);
}

TEST(OrderCaptureDevices, AddsAMixTheListDoesNotShowYetAndLeavesTheListAloneWithoutOne) {
  const TCaptureDevice mix = Dev("Monitor of Wavecrate Stereo Mix", "wavecrate_mix_7.monitor");
  const std::vector<TCaptureDevice> listed = {Dev("Mic", "mic")};
  const auto added = OrderCaptureDevices(listed, mix);
  ASSERT_EQ(added.size(), 2u);
  EXPECT_EQ(added[0], mix);
  EXPECT_EQ(OrderCaptureDevices(listed, TCaptureDevice{}), listed);
  EXPECT_EQ(OrderCaptureDevices({}, mix), std::vector<TCaptureDevice>{mix});
}

}  // namespace
}  // namespace wavecrate
