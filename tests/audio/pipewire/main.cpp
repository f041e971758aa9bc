// The PipeWire tests. Run with "--mix-owner SERVER OWNER READY-FILE", the
// binary instead plays a program that holds the mix with its loopback muted
// (a recording with "Mute Sound when Recording" running) until it is killed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

#include "audio/gst/GraphServices.h"
#include "audio/pulse/StereoMix.h"

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "--mix-owner") == 0) {
    wavecrate::TStereoMix::TOptions options;
    options.Server = argv[2];
    options.PointPlaybackHere = false;
    options.OwnerId = std::stol(argv[3]);
    wavecrate::TStereoMix mix(options);
    if (!mix.Start() || !mix.MuteSpeakers()) return 1;
    std::ofstream(argv[4]) << "muted\n";
    for (;;) ::pause();
  }
  ::testing::InitGoogleTest(&argc, argv);
  wavecrate::EnsureGstInitialized();
  return RUN_ALL_TESTS();
}
