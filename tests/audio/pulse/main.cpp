// The sound-server tests run against the private PulseAudio that
// scripts/test starts (or one a test starts for itself). The program's mix is
// set up once per test process, before any player exists, as the program
// itself does at start-up.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "audio/gst/AudioCaptureThread.h"
#include "audio/gst/GraphServices.h"
#include "audio/pulse/PulseTestSupport.h"
#include "audio/pulse/StereoMix.h"

namespace wavecrate::test {

namespace {
std::shared_ptr<TStereoMix>& Mix() {
  static std::shared_ptr<TStereoMix> mix;
  return mix;
}
}  // namespace

std::shared_ptr<TStereoMix> TestMix() {
  return Mix();
}

}  // namespace wavecrate::test

int main(int argc, char** argv) {
  // As the program does: before any other thread exists.
  wavecrate::PointPlaybackAtStereoMix();
  ::testing::InitGoogleTest(&argc, argv);
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
  // Each test process gets a sound server of its own: these tests load and
  // unload modules many times, and PulseAudio was seen to die at such an
  // unload under a sanitizer build, which would fail every later test that
  // shares the server.
  wavecrate::test::PrivatePulse pulse;
  setenv("PULSE_SERVER", pulse.Address().c_str(), 1);
  wavecrate::EnsureGstInitialized();
  auto& mix = wavecrate::test::Mix();
  mix = std::make_shared<wavecrate::TStereoMix>();
  if (!mix->Start())
    std::fprintf(stderr, "test: the program's mix is not loaded: %s\n", mix->FallbackReason().c_str());
  const int status = RUN_ALL_TESTS();
  wavecrate::StopAllCapturesAndWait(std::chrono::seconds(10));
  mix->Stop();
  return status;
}
