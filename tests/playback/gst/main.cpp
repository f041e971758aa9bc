// Test entry for the player tests: GStreamer up, a null sink of this run's
// own in the private PulseAudio as the player's output (through PULSE_SINK,
// the same way the program points its players at its mix), removed again at
// the end.
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "playback/gst/PlayerTestEnv.h"

namespace wavecrate::test {

namespace {
std::string g_sink;

std::string Run(const std::string& command) {
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buffer[256];
    while (fgets(buffer, sizeof buffer, p) != nullptr) out += buffer;
    if (pclose(p) != 0) return "";
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}
}  // namespace

const std::string& PlayerTestSink() {
  return g_sink;
}

bool RunMainLoopUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return done();
    if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(5000);
  }
  return true;
}

void RunMainLoopFor(std::chrono::milliseconds duration) {
  RunMainLoopUntil([] { return false; }, duration);
}

// One listener for the whole run: a monitor stream takes about a second to
// deliver its first sound, so starting one per check would miss it.
GstElement* g_listener = nullptr;
GstElement* g_listenerSink = nullptr;

void StartListener() {
  const std::string description = "pulsesrc device=" + g_sink +
                                  ".monitor ! audioconvert ! audioresample ! "
                                  "audio/x-raw,format=F32LE,channels=1,rate=44100 ! "
                                  "appsink name=out sync=false";
  GError* error = nullptr;
  g_listener = gst_parse_launch(description.c_str(), &error);
  if (g_listener == nullptr) {
    std::fprintf(stderr, "player tests: cannot listen: %s\n", error ? error->message : "?");
    g_clear_error(&error);
    return;
  }
  g_listenerSink = gst_bin_get_by_name(GST_BIN(g_listener), "out");
  gst_element_set_state(g_listener, GST_STATE_PLAYING);
  // A fresh monitor stream delivers its first samples only after a while.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    if (GstSample* first = gst_app_sink_try_pull_sample(GST_APP_SINK(g_listenerSink), 100 * GST_MSECOND)) {
      gst_sample_unref(first);
      break;
    }
  }
}

void StopListener() {
  if (g_listener == nullptr) return;
  gst_element_set_state(g_listener, GST_STATE_NULL);
  gst_object_unref(g_listenerSink);
  gst_object_unref(g_listener);
}

TSinkListening ListenToSink(std::chrono::milliseconds duration) {
  TSinkListening result;
  if (g_listener == nullptr) {
    ADD_FAILURE() << "no listener on the test sink";
    return result;
  }
  // What queued up before this check is not part of it.
  while (GstSample* old = gst_app_sink_try_pull_sample(GST_APP_SINK(g_listenerSink), 0))
    gst_sample_unref(old);
  std::vector<float> samples;
  const auto deadline = std::chrono::steady_clock::now() + duration;
  while (std::chrono::steady_clock::now() < deadline) {
    g_main_context_iteration(nullptr, FALSE);
    GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(g_listenerSink), 10 * GST_MSECOND);
    if (sample == nullptr) continue;
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    GstMapInfo map;
    if (buffer != nullptr && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
      const auto* f = reinterpret_cast<const float*>(map.data);
      samples.insert(samples.end(), f, f + map.size / sizeof(float));
      gst_buffer_unmap(buffer, &map);
    }
    gst_sample_unref(sample);
  }
  if (samples.empty()) return result;
  // Judged in 50 ms blocks, over the blocks that hold sound: a stream may
  // start a moment into the check, and silence must not bend the figures.
  constexpr std::size_t kBlock = 2205;
  double sum = 0;
  std::size_t loudSamples = 0;
  int crossings = 0;
  for (std::size_t b = 0; b + kBlock <= samples.size(); b += kBlock) {
    double energy = 0;
    int blockCrossings = 0;
    for (std::size_t i = b; i < b + kBlock; ++i) {
      energy += static_cast<double>(samples[i]) * samples[i];
      if (i > b && (samples[i - 1] < 0) != (samples[i] < 0)) ++blockCrossings;
    }
    if (std::sqrt(energy / kBlock) < 0.002) continue;
    sum += energy;
    loudSamples += kBlock;
    crossings += blockCrossings;
  }
  result.SecondsHeard = static_cast<double>(samples.size()) / 44100.0;
  result.SoundSeconds = static_cast<double>(loudSamples) / 44100.0;
  if (loudSamples > 0) {
    result.Rms = std::sqrt(sum / static_cast<double>(loudSamples));
    result.FrequencyHz = crossings / 2.0 / result.SoundSeconds;
  }
  return result;
}

bool WaitForSound(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (ListenToSink(std::chrono::milliseconds(200)).SoundSeconds > 0) return true;
  }
  return false;
}

}  // namespace wavecrate::test

int main(int argc, char** argv) {
  gst_init(&argc, &argv);
  ::testing::InitGoogleTest(&argc, argv);
  using wavecrate::test::g_sink;
  const std::string name = "wavecrate_player_test_" + std::to_string(getpid());
  const std::string module =
      wavecrate::test::Run("pactl load-module module-null-sink sink_name=" + name +
                           " sink_properties=device.description=PlayerTest 2>/dev/null");
  if (!module.empty()) {
    g_sink = name;
    setenv("PULSE_SINK", name.c_str(), 1);
    wavecrate::test::StartListener();
  } else {
    std::fprintf(stderr, "player tests: no PulseAudio to play into (start one: scripts/lib/services.sh)\n");
  }
  const int status = RUN_ALL_TESTS();
  wavecrate::test::StopListener();
  if (!module.empty()) wavecrate::test::Run("pactl unload-module " + module);
  return status;
}
