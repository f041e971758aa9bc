// Graph services that the capture and conversion build on: the device list,
// the encoder bin and its settings, stopping graphs with a bounded wait.
#include "audio/gst/GraphServices.h"

#include <gtest/gtest.h>

#include <gst/app/gstappsink.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "audio/EncoderPlan.h"
#include "audio/gst/WavDestFilter.h"
#include "common/Thread.h"
#include "support/TempDir.h"

namespace wavecrate {
namespace {

using namespace std::chrono_literals;

// Runs with or without a sound server: every listed device has a name and
// makes a source element; indexes outside the list give nothing.
TEST(SysDevEnum, EveryListedDeviceHasANameAndASourceAndOutOfRangeGivesNone) {
  TSysDevEnum devices("Audio/Source");
  for (int i = 0; i < devices.Count(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_FALSE(devices.FriendlyName(i).empty());
    EXPECT_NE(devices.Device(i), nullptr);
    TGstPtr<GstElement> e = devices.CreateElement(i, "Source");
    ASSERT_TRUE(e);
    EXPECT_STREQ(GST_ELEMENT_NAME(e.get()), "Source");
  }
  for (int i : {-1, devices.Count(), devices.Count() + 5}) {
    EXPECT_EQ(devices.FriendlyName(i), "");
    EXPECT_EQ(devices.Device(i), nullptr);
    EXPECT_FALSE(devices.CreateElement(i));
  }
  // A list built from another keeps its order.
  TSysDevEnum copy(devices.Devices());
  ASSERT_EQ(copy.Count(), devices.Count());
  for (int i = 0; i < copy.Count(); ++i) EXPECT_EQ(copy.FriendlyName(i), devices.FriendlyName(i));
}

TEST(Mp3EncoderBin, TakesItsSettingsFromTheSettingsRecord) {
  TEncoderSettings s;
  s.RateControl = TRateControl::Vbr;
  s.VbrQuality = 3;
  s.Mode = TChannelMode::Mono;
  TGstPtr<GstElement> bin = CreateMp3Encoder(s, "MP3");
  ASSERT_TRUE(bin);
  EXPECT_STREQ(GST_ELEMENT_NAME(bin.get()), "MP3");
  TGstPtr<GstPad> sink = AdoptGst(gst_element_get_static_pad(bin.get(), "sink"));
  TGstPtr<GstPad> src = AdoptGst(gst_element_get_static_pad(bin.get(), "src"));
  EXPECT_TRUE(sink && src);
  GstElement* lame = nullptr;
  GstIterator* it = gst_bin_iterate_elements(GST_BIN(bin.get()));
  TGstIteratorPtr guard(it);
  GValue item = G_VALUE_INIT;
  while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
    auto* e = GST_ELEMENT(g_value_get_object(&item));
    if (g_str_equal(GST_OBJECT_NAME(gst_element_get_factory(e)), "lamemp3enc")) lame = e;
    g_value_reset(&item);
  }
  g_value_unset(&item);
  ASSERT_NE(lame, nullptr);
  gint target = -1;
  gfloat quality = 0;
  gboolean mono = FALSE;
  g_object_get(lame, "target", &target, "quality", &quality, "mono", &mono, nullptr);
  EXPECT_EQ(target, 0);  // quality
  EXPECT_FLOAT_EQ(quality, 3.0f);
  EXPECT_TRUE(mono);
}

// What a stream of layer III frames holds, read from the frames' headers.
struct TFramesSeen {
  int Frames = 0;
  std::set<int> Rates, Bitrates, Modes;  // Modes: 0 stereo, 1 joint, 2 dual, 3 mono
  std::uint64_t Bytes = 0;
  std::uint64_t Samples = 0;  // per channel
  bool Broken = false;        // bytes that are not a frame
  double AverageKbps() const { return Samples ? Bytes * 8.0 * *Rates.begin() / Samples / 1000 : 0; }
};

TFramesSeen ReadFrames(const std::string& data) {
  static constexpr int kKbps[2][15] = {{0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
                                       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}};
  static constexpr int kRates[3] = {44100, 48000, 32000};
  TFramesSeen seen;
  std::size_t at = 0;
  while (at + 4 <= data.size()) {
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(data[at + i]); };
    const int version = (b(1) >> 3) & 3;  // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    const int bitrateIndex = b(2) >> 4, rateIndex = (b(2) >> 2) & 3;
    if (b(0) != 0xFF || (b(1) & 0xE0) != 0xE0 || version == 1 || ((b(1) >> 1) & 3) != 1 ||
        bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3) {
      seen.Broken = true;
      break;
    }
    const int kbps = kKbps[version == 3 ? 0 : 1][bitrateIndex];
    const int rate = kRates[rateIndex] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
    const int perFrame = version == 3 ? 1152 : 576;
    const std::size_t size = static_cast<std::size_t>(perFrame / 8 * kbps * 1000 / rate + ((b(2) >> 1) & 1));
    ++seen.Frames;
    seen.Rates.insert(rate);
    seen.Bitrates.insert(kbps);
    seen.Modes.insert(b(3) >> 6);
    seen.Bytes += size;
    seen.Samples += static_cast<std::uint64_t>(perFrame);
    at += size;
  }
  return seen;
}

// `seconds` of loud noise at `inputRate` (stereo) through the encoder bin,
// as fast as it goes; the coded bytes that come out.
std::string Encode(const TEncoderSettings& settings, int inputRate, double seconds) {
  EnsureGstInitialized();
  TGraph graph("encode");
  TGErrorPtr error;
  TGstPtr<GstElement> source = AdoptGst(gst_parse_bin_from_description(
      ("audiotestsrc wave=white-noise volume=0.3 samplesperbuffer=1024 num-buffers=" +
       std::to_string(static_cast<int>(seconds * inputRate / 1024)) +
       " ! capsfilter caps=audio/x-raw,format=S16LE,layout=interleaved,channels=2,rate=" +
       std::to_string(inputRate))
          .c_str(),
      TRUE, error.Out()));
  if (!source) ADD_FAILURE() << error.Message();
  TGstPtr<GstElement> encoder = CreateMp3Encoder(settings, "MP3");
  TGstPtr<GstElement> out = MakeElement("appsink", "out");
  if (!source || !encoder || !out) return "";
  g_object_set(out.get(), "sync", FALSE, nullptr);
  if (!graph.AddAndLink({&source, &encoder, &out})) return "";
  gst_element_set_state(graph.Pipeline(), GST_STATE_PLAYING);
  std::string bytes;
  while (GstSample* sample = gst_app_sink_pull_sample(GST_APP_SINK(out.get()))) {
    GstMapInfo map;
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
      bytes.append(reinterpret_cast<const char*>(map.data), map.size);
      gst_buffer_unmap(buffer, &map);
    }
    gst_sample_unref(sample);
  }
  graph.SetNull();
  return bytes;
}

// Every choice the quality dialog offers, pushed through the encoder bin:
// the frames have the rate, mode and bitrate the plan says, which is what
// was chosen unless the plan warns. (Left to itself the encoder made 32 kHz
// frames of 96 kbit/s chosen at 44.1 kHz.) "The input's rate" is tried with
// a 22.05 kHz input, so the rate really follows the input.
TEST(Mp3EncoderBin, FilesHaveTheRateModeAndBitrateTheDialogChose) {
  std::vector<int> rates(std::begin(kMp3SampleRates), std::end(kMp3SampleRates));
  rates.push_back(0);
  int warned = 0, combinations = 0;
  for (TRateControl control : {TRateControl::Cbr, TRateControl::Abr, TRateControl::Vbr}) {
    for (int rate : rates) {
      // Every CBR bitrate at every rate; ABR and VBR at both ends of theirs.
      std::vector<int> values;
      if (control == TRateControl::Cbr) values.assign(std::begin(kMp3Bitrates), std::end(kMp3Bitrates));
      if (control == TRateControl::Abr) values = {32, 320};
      if (control == TRateControl::Vbr) values = {0, 9};
      for (int value : values) {
        TEncoderSettings s;
        s.RateControl = control;
        s.SampleRate = rate;
        (control == TRateControl::Vbr ? s.VbrQuality : s.Bitrate) = value;
        s.Mode = ++combinations % 2 ? TChannelMode::Mono : TChannelMode::JointStereo;
        const int input = rate == 0 ? 22050 : kCaptureSampleRate;
        const TMp3Plan plan = PlanMp3(s, input);
        warned += !plan.Warning.empty();
        SCOPED_TRACE(std::string(RateControlName(control)) + " " + std::to_string(value) + " at " +
                     std::to_string(rate) + " Hz, " + ChannelModeName(s.Mode));
        const TFramesSeen seen = ReadFrames(Encode(s, input, control == TRateControl::Abr ? 3.0 : 0.5));
        ASSERT_GE(seen.Frames, 5);
        EXPECT_FALSE(seen.Broken);
        EXPECT_EQ(seen.Rates, std::set<int>{plan.SampleRate});
        EXPECT_EQ(seen.Modes, std::set<int>{s.Mode == TChannelMode::Mono ? 3 : 1});
        if (control == TRateControl::Cbr) {
          EXPECT_EQ(seen.Bitrates, std::set<int>{plan.Bitrate});
          EXPECT_EQ(plan.Bitrate == value, plan.Warning.empty()) << plan.Warning;
        }
        if (control == TRateControl::Abr) {
          EXPECT_NEAR(seen.AverageKbps(), plan.Bitrate, plan.Bitrate * 0.15);
        }
      }
    }
  }
  EXPECT_GT(warned, 0);
}

// A graph whose source never ends and never answers EOS (a live source that
// produces nothing until PLAYING, held in PAUSED) must not hang Stop.
TEST(Graph, StopWaitsABoundedTimeForEndOfStream) {
  test::TempDir dir;
  TGraph graph("blocked");
  TGstPtr<GstElement> src = MakeElement("audiotestsrc");
  g_object_set(src.get(), "is-live", TRUE, nullptr);
  TGstPtr<GstElement> valve = MakeElement("valve");
  g_object_set(valve.get(), "drop", TRUE, "drop-mode", 0 /* drop all, events too */, nullptr);
  TGstPtr<GstElement> sink = MakeElement("fakesink");
  g_object_set(sink.get(), "async", FALSE, nullptr);
  ASSERT_TRUE(graph.AddAndLink({&src, &valve, &sink}));
  ASSERT_TRUE(graph.Run(1s));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(graph.Stop(700ms));  // the valve swallows the EOS
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 600ms);
  EXPECT_LT(took, 5s);
  GstState state = GST_STATE_VOID_PENDING;
  gst_element_get_state(graph.Pipeline(), &state, nullptr, 0);
  EXPECT_EQ(state, GST_STATE_NULL);
}

// Graphs stream on GLib's shared threads, whose priority the first thread to
// need them used to set: had a low-priority one come first, every capture
// and player would have run at nice 10.
TEST(Graph, StreamsAtTheProgramsPriorityWhenALowPriorityThreadStartsIt) {
  ASSERT_TRUE(EnsureGstInitialized());  // first here, at the test's priority
  const int own = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
  if (own >= 10) GTEST_SKIP() << "the test already runs at nice " << own;
  std::atomic<int> streamed{-100};
  std::thread low([&] {
    LowerThisThreadsPriority();
    TGraph graph("low");
    TGstPtr<GstElement> src = MakeElement("audiotestsrc");
    g_object_set(src.get(), "num-buffers", 3, nullptr);
    TGstPtr<GstElement> queue = MakeElement("queue");  // a streaming thread of its own
    TGstPtr<GstElement> sink = MakeElement("fakesink");
    ASSERT_TRUE(graph.AddAndLink({&src, &queue, &sink}));
    TGstPtr<GstPad> pad = AdoptGst(gst_element_get_static_pad(sink.get(), "sink"));
    gst_pad_add_probe(
        pad.get(), GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad*, GstPadProbeInfo*, gpointer data) {
          static_cast<std::atomic<int>*>(data)->store(getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())));
          return GST_PAD_PROBE_OK;
        },
        &streamed, nullptr);
    ASSERT_TRUE(graph.Run(5s));
    EXPECT_EQ(graph.WaitForEnd(5s), TGraphEnd::Eos);
  });
  low.join();
  EXPECT_EQ(streamed.load(), own);
}

TEST(Graph, RunReportsAnErrorInsteadOfHanging) {
  TGraph graph("broken");
  TGstPtr<GstElement> src = MakeElement("filesrc");
  g_object_set(src.get(), "location", "/nonexistent/wavecrate/none.wav", nullptr);
  TGstPtr<GstElement> sink = MakeElement("fakesink");
  ASSERT_TRUE(graph.AddAndLink({&src, &sink}));
  std::string error;
  EXPECT_FALSE(graph.Run(5s, &error));
  EXPECT_NE(error.find("none.wav"), std::string::npos) << error;
  EXPECT_TRUE(graph.Stop(1s));  // a graph that never started stops at once
}

TEST(WavDestRegistration, IsIdempotentAndOnlyInThisProcess) {
  EXPECT_TRUE(RegisterWavDestFilter());
  EXPECT_TRUE(RegisterWavDestFilter());
  TGstPtr<GstElementFactory> factory = AdoptGst(gst_element_factory_find(kWavDestElementName));
  ASSERT_TRUE(factory);
  GstPlugin* plugin = gst_plugin_feature_get_plugin(GST_PLUGIN_FEATURE(factory.get()));
  ASSERT_NE(plugin, nullptr);
  EXPECT_EQ(gst_plugin_get_filename(plugin), nullptr);  // static: no file on disk
  gst_object_unref(plugin);
  TGstPtr<GstElement> a = CreateWavDestFilter(), b = CreateWavDestFilter();
  EXPECT_TRUE(a && b && a.get() != b.get());
}

}  // namespace
}  // namespace wavecrate
