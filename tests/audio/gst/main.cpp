// Test entry for the GStreamer audio tests. Besides the tests it has one
// helper mode, used by the crash test, that must run in a process of its own:
//
//   test_audio_gst --record-until-killed <path>
//
// records a live 440 Hz tone through the MP3 encoder and the WAV writer into
// <path> until the process is killed.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "audio/gst/GraphServices.h"
#include "audio/gst/WavDestFilter.h"

namespace {

int RecordUntilKilled(const std::string& path) {
  using namespace wavecrate;
  if (!RegisterWavDestFilter()) return 2;
  TGraph graph("recorder");
  TGstPtr<GstElement> src = MakeElement("audiotestsrc");
  g_object_set(src.get(), "is-live", TRUE, "freq", 440.0, "volume", 0.5, nullptr);
  TGstPtr<GstElement> enc = CreateMp3Encoder(TEncoderSettings{});
  TGstPtr<GstElement> dest = CreateWavDestFilter("Mux");
  TGstPtr<GstElement> sink = CreateFileSink(path, TFileSinkMode::Recording, "Writer");
  if (!graph.AddAndLink({&src, &enc, &dest, &sink}) || !graph.Run()) return 3;
  std::printf("recording\n");
  std::fflush(stdout);
  for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--record-until-killed") == 0) return RecordUntilKilled(argv[2]);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
